#pragma once
// Made-up health snapshots for the tests: the window's, with times that do not depend on the
// time zone, and the status endpoint's, with every figure filled and texts that need escaping.

#include <chrono>
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

// 2025-12-09T18:06:14.123Z
inline const WallClock::time_point kTaken = WallClock::time_point(std::chrono::milliseconds(1765303574123));

// Two boxes (one speaking, one lost with a refusal), two viewers (one closed for falling behind),
// a running run and its combined channels; texts that need escaping in every place they can be.
// Rate_1 has no reading (its box is lost). No recording and no uplink.
inline HubHealth PopulatedHealth() {
  using namespace std::chrono_literals;
  HubHealth health;
  health.takenAt = kTaken;
  BoxHealth speaking;
  speaking.row = 0;
  speaking.agent = 0;
  speaking.address = "127.0.0.2";
  speaking.port = 5000;
  speaking.state = BoxState::Connected;
  speaking.stateSince = kTaken - 83s;
  speaking.connections = 2;
  speaking.reconnections = 1;
  speaking.records = 1234;
  speaking.recordsPerSecond = 1.5;
  speaking.newestRecordAge = 260ms;
  speaking.rejectedLines = 3;
  speaking.replacedRecords = 7;
  speaking.serialNumber = "VM-20417 \"b\"\\2";
  speaking.firmware = "8.7c\nbeta";
  speaking.jobType = "Cementing";
  BoxHealth lost;
  lost.row = 2;
  lost.agent = 1;
  lost.address = "box-3.local";
  lost.port = 5001;
  lost.state = BoxState::Lost;
  lost.stateSince = kTaken - 2s;
  lost.connections = 1;
  lost.lastError = "Connection refused";
  health.boxes = {speaking, lost};
  ViewerHealth viewer;
  viewer.socket = 17;
  viewer.peerAddress = "127.0.0.1";
  viewer.peerPort = 40001;
  viewer.connectedSince = kTaken - 10s;
  viewer.linesSent = 90;
  viewer.bytesSent = 4500;
  viewer.bytesQueued = 12;
  ViewerHealth behind = viewer;
  behind.socket = 18;
  behind.peerPort = 40002;
  behind.connected = false;
  behind.closedForFallingBehind = true;
  health.viewers = {viewer, behind};
  health.run = {true, kTaken - 90s, 1200, 4, "running"};
  health.channels = {{"Pressure_0", "psi", 1523.25, false, 0}, {"Rate_1", "bpm", 0.0, true, 1}};
  return health;
}

}  // namespace tessamer::apptest
