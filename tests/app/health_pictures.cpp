// Pictures of the "Boxes and viewers" and "Live data" windows fed with made-up snapshots: ten
// minutes of two boxes, the second lost for the last ninety seconds. For the README when no hub
// with boxes is at hand; run under a virtual display: health_pictures BOXES.png LIVE.png

#include <QApplication>
#include <QPixmap>
#include <cmath>
#include <cstdio>

#include "app/health_views.h"
#include "app/live_data_window.h"

namespace {

using namespace tessamer;

constexpr int kSeconds = 600;
constexpr int kLostFor = 90;

HubHealth Snapshot(WallClock::time_point start, int second) {
  HubHealth health;
  health.takenAt = start + std::chrono::seconds(second);
  const bool lost = second >= kSeconds - kLostFor;
  for (int box = 0; box < 2; ++box) {
    BoxHealth b;
    b.row = box;
    b.agent = box;
    b.address = box == 0 ? "127.0.0.2" : "127.0.0.3";
    b.port = 47311;
    b.connections = 1;
    b.records = static_cast<uint64_t>(second) * 2;
    b.recordsPerSecond = 2.0;
    b.newestRecordAge = std::chrono::milliseconds(300);
    b.serialNumber = box == 0 ? "VM-20417" : "VM-20418";
    b.firmware = "8.7c";
    b.jobType = "Cementing";
    b.state = BoxState::Connected;
    b.stateSince = start;
    if (box == 1 && lost) {
      b.state = BoxState::Lost;
      b.stateSince = start + std::chrono::seconds(kSeconds - kLostFor);
      b.records = static_cast<uint64_t>(kSeconds - kLostFor) * 2;
      b.recordsPerSecond = 0.0;
      b.newestRecordAge = std::chrono::seconds(kLostFor);
      b.reconnections = 3;
      b.lastError = "Connection refused";
    }
    health.boxes.push_back(b);
    const double t = second / 60.0;
    const double k = box == 1 && lost ? 0.0 : 1.0;
    const std::string tag = "_" + std::to_string(box);
    const double pressure = 2400 + 300 * std::sin(t + box) + 40 * std::sin(7 * t);
    health.channels.push_back({"Pressure" + tag, "kPa", k * pressure});
    health.channels.push_back({"Rate" + tag, "m3/min", k * (1.2 + 0.3 * std::cos(t / 2 + box))});
    health.channels.push_back({"Weight" + tag, "kg", k * (21000 + 4000 * std::sin(t / 3))});
    health.channels.push_back({"Density" + tag, "kg/m3", k * (1850 + 20 * std::cos(t))});
  }
  ViewerHealth viewer;
  viewer.socket = 23;
  viewer.peerAddress = "127.0.0.1";
  viewer.peerPort = 50412;
  viewer.connectedSince = start + std::chrono::seconds(5);
  viewer.linesSent = static_cast<uint64_t>(second) * 2;
  viewer.bytesSent = viewer.linesSent * 64;
  health.viewers.push_back(viewer);
  health.run.active = true;
  health.run.startedAt = start;
  health.run.recordsPublished = static_cast<uint64_t>(second) * 2;
  health.run.repeatsSent = lost ? kLostFor / 2 : 0;
  health.run.outcome = "running";
  return health;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: health_pictures BOXES.png LIVE.png\n");
    return 2;
  }
  const WallClock::time_point start = WallClock::now() - std::chrono::seconds(kSeconds);
  int second = 0;
  CHealthWindow boxes([&] { return Snapshot(start, second); });
  CLiveDataWindow live([&] { return Snapshot(start, second); });
  for (; second <= kSeconds; ++second) live.Refresh();
  second = kSeconds;
  boxes.show();
  live.show();
  boxes.Refresh();
  application.processEvents();
  const bool saved = boxes.grab().save(argv[1], "PNG") && live.grab().save(argv[2], "PNG");
  return saved ? 0 : 1;
}
