// The headless runner against a scripted hub: the printed lines, their order, and the exit
// statuses of every way a headless run ends.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <future>
#include <thread>

#include "app/cli/headless_runner.h"
#include "testkit/recorders.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

// What the fake hub does; every notice is posted from the caller's or a helper thread, as the
// real hub posts from its own threads.
struct Script {
  bool serversStart = true;
  // Posted from another thread after the i-th Start; later starts post the last list again.
  std::vector<std::vector<Notice>> starts;
  bool stoppedOnStop = true;            // Stop posts WM_HUB_STOPPED
  std::vector<Notice> onDestroy;        // posted while the hub is destroyed
  HubHealth health;                     // what Health answers
};

struct Calls {
  std::mutex mutex;
  std::vector<Box> boxes;
  int channelLimit = 0;
  int starts = 0;
  int stops = 0;
  bool destroyed = false;
};

class FakeHub : public IHubControl {
 public:
  FakeHub(INoticeSink* sink, const Script& script, Calls& calls) : sink(sink), script(script), calls(calls) {
    error.failed = true;
    error.code = 10048;
    error.text = L"address in use";
  }
  ~FakeHub() override {
    if (poster.joinable()) poster.join();
    for (const auto& n : script.onDestroy) sink->Post(n);
    std::lock_guard guard(calls.mutex);
    calls.destroyed = true;
  }
  bool StartServers() override { return script.serversStart; }
  void AddOutput(std::shared_ptr<IJobOutput>) override {}  // no combined job here
  bool Start(const std::vector<Box>& boxes, int channelLimit) override {
    if (poster.joinable()) poster.join();
    size_t start = 0;
    {
      std::lock_guard guard(calls.mutex);
      calls.boxes = boxes;
      calls.channelLimit = channelLimit;
      start = static_cast<size_t>(calls.starts++);
    }
    if (script.starts.empty()) return true;
    poster = std::thread([this, start] {
      for (const auto& n : script.starts[std::min(start, script.starts.size() - 1)]) sink->Post(n);
    });
    return true;
  }
  bool Stop() override {
    if (poster.joinable()) poster.join();
    {
      std::lock_guard guard(calls.mutex);
      ++calls.stops;
    }
    if (script.stoppedOnStop) sink->Post(Notice{WM_HUB_STOPPED, 0, 0, {}});
    return true;
  }
  const ErrorInfo& StartError() const override { return error; }
  uint16_t DataPort() const override { return 40001; }
  uint16_t UtilityPort() const override { return 40002; }
  HubHealth Health() const override { return script.health; }
  void Probe(std::function<void()> done) override { done(); }

 private:
  INoticeSink* sink;
  const Script& script;
  Calls& calls;
  ErrorInfo error;
  std::thread poster;
};

// Collects the printed lines and lets the test wait for one.
class Output {
 public:
  void Write(const std::string& line) {
    {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    }
    changed.notify_all();
  }
  // Waits until `line` has been written `count` times.
  bool WaitFor(const std::string& line, std::chrono::milliseconds timeout = 5s, long count = 1) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return std::count(lines.begin(), lines.end(), line) >= count; });
  }
  std::vector<std::string> Lines() {
    std::lock_guard guard(mutex);
    return lines;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
};

struct Harness {
  Script script;
  Calls calls;
  Output output;
  RunSettings settings{{{"127.0.0.2", 6000}, {"localhost", 0}}, 7000, 4};

  std::unique_ptr<CHeadlessRunner> MakeRunner() {
    return std::make_unique<CHeadlessRunner>(
        settings, HubConfig{},
        [this](INoticeSink* sink, const HubConfig&) -> std::unique_ptr<IHubControl> {
          return std::make_unique<FakeHub>(sink, script, calls);
        },
        [this](const std::string& line) { output.Write(line); });
  }
};

Notice Activity(int status, int row) { return Notice{WM_HUB_ACTIVITY, static_cast<uintptr_t>(status), row, {}}; }
Notice HeadersComplete() { return Notice{WM_HUB_HEADERS_COMPLETE, 0, 0, {}}; }
Notice Stopped() { return Notice{WM_HUB_STOPPED, 0, 0, {}}; }
Notice Client(int socket, bool connected, std::wstring peer = {}) {
  return Notice{WM_HUB_CLIENT_CONNECTION, static_cast<uintptr_t>(socket), (5000 << 8) | (connected ? 0 : 1),
                std::move(peer)};
}
Notice Silence(int row, int seconds) {
  return Notice{WM_HUB_BOX_SILENCE, static_cast<uintptr_t>(row), seconds, {}};
}

// Boxes in rows 0 and 1; the second has lost its link to a refusal.
HubHealth TwoBoxes() {
  HubHealth health;
  health.boxes.resize(2);
  health.boxes[0].row = 0;
  health.boxes[0].address = "10.0.0.5";
  health.boxes[0].port = 5000;
  health.boxes[1].row = 1;
  health.boxes[1].address = "10.0.0.6";
  health.boxes[1].port = 5001;
  health.boxes[1].lastError = "Connection refused";
  return health;
}

TEST(HeadlessRunner, PrintsListeningFirstThenOneLinePerNoticeAndStopsWithStatusZero) {
  Harness h;
  h.script.starts = {{Activity(Connected, 0), Activity(Connected, 1), Notice{WM_HUB_BOX_DATA, 0, 0, {}},
                      HeadersComplete(), Notice{WM_HUB_PUBLISHED, 1, 0, {}}, Client(17, true),
                      Activity(ConnectionLost, 1), Client(17, false)}};
  auto runner = h.MakeRunner();
  auto status = std::async(std::launch::async, [&] { return runner->Run(); });
  ASSERT_TRUE(h.output.WaitFor("client disconnected socket=17"));
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  EXPECT_THAT(h.output.Lines(),
              ::testing::ElementsAre("listening data=40001 utility=40002", "activity row=0 status=Connected",
                                     "activity row=1 status=Connected", "headers-complete",
                                     "client connected socket=17", "activity row=1 status=ConnectionLost",
                                     "client disconnected socket=17", "stopped"));
  EXPECT_EQ(h.calls.stops, 1);
  EXPECT_TRUE(h.calls.destroyed);
  EXPECT_EQ(h.calls.channelLimit, 4);
  ASSERT_EQ(h.calls.boxes.size(), 2u);
  EXPECT_EQ(h.calls.boxes[1].row, 1);
  EXPECT_EQ(DottedText(h.calls.boxes[1].address), "127.0.0.1");  // the name, looked up at the start
  EXPECT_EQ(h.calls.boxes[1].port, 7000);                         // no port given: the box port
}

TEST(HeadlessRunner, StopRequestedBeforeTheRunStillStartsAndStopsInOrder) {
  Harness h;
  auto runner = h.MakeRunner();
  runner->RequestStop();  // a signal that came during start-up
  EXPECT_EQ(runner->Run(), kExitStopped);
  EXPECT_THAT(h.output.Lines(), ::testing::ElementsAre("listening data=40001 utility=40002", "stopped"));
  EXPECT_EQ(h.calls.stops, 1);
}

TEST(HeadlessRunner, SaysStoppedOnceEvenWhenTheHubDoesNot) {
  Harness h;
  h.script.stoppedOnStop = false;
  h.script.onDestroy = {Client(9, false)};
  auto runner = h.MakeRunner();
  runner->RequestStop();
  EXPECT_EQ(runner->Run(), kExitStopped);
  EXPECT_THAT(h.output.Lines(), ::testing::ElementsAre("listening data=40001 utility=40002",
                                                       "client disconnected socket=9", "stopped"));
}

TEST(HeadlessRunner, RunEndingByItselfGivesStatusThree) {
  Harness h;
  h.script.starts = {{Activity(Connected, 0), Activity(ConnectFailed, 1), Stopped()}};
  h.script.stoppedOnStop = false;
  h.script.health = TwoBoxes();
  auto runner = h.MakeRunner();
  EXPECT_EQ(runner->Run(), kExitRunEnded);
  EXPECT_THAT(h.output.Lines(),
              ::testing::ElementsAre("listening data=40001 utility=40002",
                                     "activity row=0 status=Connected box=10.0.0.5:5000",
                                     "activity row=1 status=ConnectFailed box=10.0.0.6:5001 reason=\"Connection refused\"",
                                     "stopped"));
  EXPECT_TRUE(h.calls.destroyed);
}

TEST(HeadlessRunner, KeepTryingStartsAgainWithADoublingWaitThatAFullRunResets) {
  Harness h;
  const std::vector<Notice> failed = {Activity(Connected, 0), Activity(ConnectFailed, 1), Stopped()};
  const std::vector<Notice> fullThenEnded = {Activity(Connected, 0), Activity(Connected, 1), Stopped()};
  const std::vector<Notice> full = {Activity(Connected, 0), Activity(Connected, 1), HeadersComplete()};
  h.script.starts = {failed, failed, failed, failed, failed, fullThenEnded, failed, full};
  h.script.stoppedOnStop = false;
  auto runner = h.MakeRunner();
  runner->KeepTrying(50ms);
  const auto started = std::chrono::steady_clock::now();
  auto status = std::async(std::launch::async, [&] { return runner->Run(); });
  ASSERT_TRUE(h.output.WaitFor("headers-complete", 20s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1400ms);  // the waits below, added up
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  std::vector<std::string> retries;
  for (const std::string& line : h.output.Lines()) {
    if (line.rfind("run retry ", 0) == 0) retries.push_back(line);
  }
  EXPECT_THAT(retries, ::testing::ElementsAre("run retry in=0.05 reason=unreachable", "run retry in=0.1 reason=unreachable",
                                              "run retry in=0.2 reason=unreachable", "run retry in=0.4 reason=unreachable",
                                              "run retry in=0.5 reason=unreachable",  // ten times the first at most
                                              "run retry in=0.05 reason=ended",       // after a run with every box
                                              "run retry in=0.1 reason=unreachable"));
  EXPECT_EQ(h.calls.starts, 8);
}

TEST(HeadlessRunner, ReloadRestartsTheRunOnlyForANewBoxListOrChannelLimit) {
  Harness h;
  h.script.starts = {{Activity(Connected, 0), Activity(Connected, 1), HeadersComplete()},
                     {Activity(Connected, 0), HeadersComplete()}};
  std::deque<Reread> rereads = {
      {true, "", h.settings, {}},
      {false, "/x.conf:2: channels takes 1 to 6: 9", {}, {}},
      {true, "", RunSettings{{{"127.0.0.4", 0}}, 7001, 2}, {"listen", "log"}},
  };
  auto runner = h.MakeRunner();
  runner->SetRereader([&rereads] {
    Reread next = rereads.front();
    rereads.pop_front();
    return next;
  });
  auto status = std::async(std::launch::async, [&] { return runner->Run(); });
  ASSERT_TRUE(h.output.WaitFor("headers-complete"));
  runner->RequestReload();
  ASSERT_TRUE(h.output.WaitFor("reload unchanged"));
  runner->RequestReload();
  ASSERT_TRUE(h.output.WaitFor("reload failed reason=/x.conf:2: channels takes 1 to 6: 9"));
  runner->RequestReload();
  ASSERT_TRUE(h.output.WaitFor("headers-complete", 5s, 2));
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  EXPECT_THAT(h.output.Lines(),
              ::testing::ElementsAre("listening data=40001 utility=40002", "activity row=0 status=Connected",
                                     "activity row=1 status=Connected", "headers-complete", "reload unchanged",
                                     "reload failed reason=/x.conf:2: channels takes 1 to 6: 9",
                                     "reload kept=listen,log reason=restart-needed", "reload restart boxes=1 channels=2",
                                     "stopped", "activity row=0 status=Connected", "headers-complete", "stopped"));
  EXPECT_EQ(h.calls.starts, 2);
  EXPECT_EQ(h.calls.stops, 2);
  EXPECT_EQ(h.calls.channelLimit, 2);
  ASSERT_EQ(h.calls.boxes.size(), 1u);
  EXPECT_EQ(DottedText(h.calls.boxes[0].address), "127.0.0.4");
  EXPECT_EQ(h.calls.boxes[0].port, 7001);
}

TEST(HeadlessRunner, DataServerThatCannotStartGivesStatusFourAndAnAlert) {
  testkit::RecordingAlerts alerts;
  Harness h;
  h.script.serversStart = false;
  auto runner = h.MakeRunner();
  EXPECT_EQ(runner->Run(), kExitNoDataServer);
  EXPECT_TRUE(h.output.Lines().empty());
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text, L"Could not start server. Detail: address in use");
  EXPECT_EQ(h.calls.boxes.size(), 0u);  // no run was started
}

TEST(HeadlessRunner, NoticeLinesNameUnknownStatusesByNumberAndSkipDataFlow) {
  EXPECT_EQ(CHeadlessRunner::LineOf(Activity(7, 3)), "activity row=3 status=7");
  EXPECT_EQ(CHeadlessRunner::LineOf(Notice{WM_HUB_BOX_DATA, 1, 0, {}}), "");
  EXPECT_EQ(CHeadlessRunner::LineOf(Notice{WM_HUB_CLIENT_OFFSET, 0, 0, L"x"}), "");
  EXPECT_EQ(CHeadlessRunner::LineOf(Client(5, true)), "client connected socket=5");
}

TEST(HeadlessRunner, BoxLinesNameTheBoxAndViewerLinesTheirPeer) {
  HubHealth health = TwoBoxes();
  EXPECT_EQ(CHeadlessRunner::LineOf(Activity(ConnectionLost, 1), health),
            "activity row=1 status=ConnectionLost box=10.0.0.6:5001 reason=\"Connection refused\"");
  // A box back on line keeps its last error, but the line gives a reason for failures only.
  EXPECT_EQ(CHeadlessRunner::LineOf(Activity(Connected, 1), health), "activity row=1 status=Connected box=10.0.0.6:5001");
  EXPECT_EQ(CHeadlessRunner::LineOf(Silence(1, 12), health), "silent row=1 box=10.0.0.6:5001 seconds=12");
  EXPECT_EQ(CHeadlessRunner::LineOf(Silence(1, 0), health), "speaking row=1");
  EXPECT_EQ(CHeadlessRunner::LineOf(Silence(4, 3), health), "silent row=4 seconds=3");  // no such box
  health.boxes[0].lastError = "said \"no\"\r\nthen left";
  EXPECT_EQ(CHeadlessRunner::LineOf(Activity(ConnectionLost, 0), health),
            "activity row=0 status=ConnectionLost box=10.0.0.5:5000 reason=\"said 'no'  then left\"");
  EXPECT_EQ(CHeadlessRunner::LineOf(Client(5, true, L"127.0.0.1:40100")), "client connected socket=5 peer=127.0.0.1:40100");
  EXPECT_EQ(CHeadlessRunner::LineOf(Client(5, false, L"127.0.0.1:40100")), "client disconnected socket=5");
}

}  // namespace
}  // namespace tessamer
