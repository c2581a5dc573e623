#pragma once
// A made-up health snapshot for the window's tests, with times that do not depend on the time
// zone.

#include <ctime>

#include "hub/core/health.h"

namespace tessamer::apptest {

// The wall-clock time of a local time of day on a fixed date, so that texts do not depend on the
// time zone.
inline WallClock::time_point LocalTime(int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 3 - 1;
  local.tm_mday = 4;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return WallClock::from_time_t(std::mktime(&local));
}

// A running hub at 14:05:00 local time: row 0's box connected, row 2's lost, one viewer, and the
// combined channels of both boxes.
inline HubHealth SampleHealth() {
  HubHealth health;
  health.takenAt = LocalTime(14, 5, 0);
  BoxHealth connected;
  connected.row = 0;
  connected.agent = 0;
  connected.address = "127.0.0.2";
  connected.port = 41001;
  connected.state = BoxState::Connected;
  connected.stateSince = LocalTime(14, 2, 11);
  connected.connections = 1;
  connected.records = 170;
  connected.recordsPerSecond = 1.0;
  connected.newestRecordAge = std::chrono::milliseconds(400);
  connected.serialNumber = "VM-20417";
  connected.firmware = "8.7c";
  BoxHealth lost = connected;
  lost.row = 2;
  lost.agent = 1;
  lost.address = "127.0.0.3";
  lost.state = BoxState::Lost;
  lost.stateSince = LocalTime(14, 3, 37);
  lost.reconnections = 1;
  lost.lastError = "Connection refused";
  health.boxes = {connected, lost};
  ViewerHealth viewer;
  viewer.socket = 17;
  viewer.peerAddress = "127.0.0.1";
  viewer.peerPort = 50123;
  viewer.connectedSince = LocalTime(14, 1, 0);
  viewer.linesSent = 180;
  viewer.bytesSent = 9000;
  health.viewers = {viewer};
  health.run.active = true;
  health.run.startedAt = LocalTime(14, 0, 0);
  health.run.recordsPublished = 170;
  health.run.outcome = "running";
  health.channels = {{"Pressure_0", "kPa", 101.5}, {"Flow_0", "l/min", 12.0},
                     {"Pressure_1", "kPa", 0.0}, {"Flow_1", "l/min", 0.0}};
  return health;
}

}  // namespace tessamer::apptest
