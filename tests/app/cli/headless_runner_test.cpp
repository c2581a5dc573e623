// The headless runner against a scripted hub: the printed lines, their order, and the exit
// statuses of every way a headless run ends.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <future>

#include "app/cli/headless_runner.h"
#include "app/sample_health.h"
#include "testkit/fake_hub.h"
#include "testkit/recorders.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

struct Harness {
  Harness() {
    script.startError.failed = true;
    script.startError.code = 10048;
    script.startError.text = L"address in use";
    script.dataPort = 40001;
    script.utilityPort = 40002;
    script.stoppedOnStop = true;
  }

  std::unique_ptr<CHeadlessRunner> MakeRunner() {
    return std::make_unique<CHeadlessRunner>(
        settings, HubConfig{},
        [this](INoticeSink* sink, const HubConfig&) -> std::unique_ptr<IHubControl> {
          return std::make_unique<testkit::FakeHub>(sink, script, calls);
        },
        output.Adder());
  }
  // Waits until `line` has been printed `count` times.
  bool WaitFor(const std::string& line, size_t count = 1) const {
    return output.WaitForValue(line, count, 5s);
  }
  const testkit::FakeHubRun& LastRun() const { return calls->runs.back(); }

  testkit::FakeHubScript script;
  std::shared_ptr<testkit::FakeHubCalls> calls = std::make_shared<testkit::FakeHubCalls>();
  testkit::Recorder<std::string> output;  // the printed lines
  RunSettings settings{{{"127.0.0.2", 6000}, {"localhost", 0}}, 7000, 4};
};

Notice Activity(ActivityStatus status, int32_t row) { return ActivityNotice{status, row}; }
Notice HeadersComplete() { return HeadersCompleteNotice{}; }
Notice Stopped() { return StoppedNotice{}; }
Notice Client(int socket, bool connected) {
  return ClientConnectionNotice{static_cast<uintptr_t>(socket), 5000, connected, {}};
}

TEST(HeadlessRunner, PrintsListeningFirstThenOneLinePerNoticeAndStopsWithStatusZero) {
  Harness h;
  h.script.startNotices = {{Activity(Connected, 0), Activity(Connected, 1), BoxDataNotice{0},
                            HeadersComplete(), PublishedNotice{true}, Client(17, true),
                            Activity(ConnectionLost, 1), Client(17, false)}};
  auto runner = h.MakeRunner();
  auto status = std::async(std::launch::async, [&] { return runner->Run(); });
  ASSERT_TRUE(h.WaitFor("client disconnected socket=17"));
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  EXPECT_THAT(h.output.All(),
              ::testing::ElementsAre("listening data=40001 utility=40002", "activity row=0 status=Connected",
                                     "activity row=1 status=Connected", "headers-complete",
                                     "client connected socket=17", "activity row=1 status=ConnectionLost",
                                     "client disconnected socket=17", "stopped"));
  EXPECT_EQ(h.calls->stops, 1);
  EXPECT_TRUE(h.calls->destroyed);
  EXPECT_EQ(h.LastRun().channelLimit, 4);
  ASSERT_EQ(h.LastRun().boxes.size(), 2u);
  EXPECT_EQ(h.LastRun().boxes[1].row, 1);
  // The name, looked up at the start.
  EXPECT_EQ(DottedText(h.LastRun().boxes[1].address), "127.0.0.1");
  EXPECT_EQ(h.LastRun().boxes[1].port, 7000);  // no port given: the box port
}

TEST(HeadlessRunner, StopRequestedBeforeTheRunStillStartsAndStopsInOrder) {
  Harness h;
  auto runner = h.MakeRunner();
  runner->RequestStop();  // a signal that came during start-up
  EXPECT_EQ(runner->Run(), kExitStopped);
  EXPECT_THAT(h.output.All(),
              ::testing::ElementsAre("listening data=40001 utility=40002", "stopped"));
  EXPECT_EQ(h.calls->stops, 1);
}

TEST(HeadlessRunner, SaysStoppedOnceEvenWhenTheHubDoesNot) {
  Harness h;
  h.script.stoppedOnStop = false;
  h.script.onDestroy = {Client(9, false)};
  auto runner = h.MakeRunner();
  runner->RequestStop();
  EXPECT_EQ(runner->Run(), kExitStopped);
  EXPECT_THAT(h.output.All(), ::testing::ElementsAre("listening data=40001 utility=40002",
                                                       "client disconnected socket=9", "stopped"));
}

TEST(HeadlessRunner, RunEndingByItselfGivesStatusThree) {
  Harness h;
  h.script.startNotices = {{Activity(Connected, 0), Activity(ConnectFailed, 2), Stopped()}};
  h.script.stoppedOnStop = false;
  h.script.health = apptest::SampleHealth();  // rows 0 and 2
  auto runner = h.MakeRunner();
  EXPECT_EQ(runner->Run(), kExitRunEnded);
  EXPECT_THAT(
      h.output.All(),
      ::testing::ElementsAre(
          "listening data=40001 utility=40002",
          "activity row=0 status=Connected box=127.0.0.2:41001",
          "activity row=2 status=ConnectFailed box=127.0.0.3:41001 reason=\"Connection refused\"",
          "stopped"));
  EXPECT_TRUE(h.calls->destroyed);
}

TEST(HeadlessRunner, KeepTryingStartsAgainWithADoublingWaitThatAFullRunResets) {
  Harness h;
  const std::vector<Notice> failed = {Activity(Connected, 0), Activity(ConnectFailed, 1), Stopped()};
  const std::vector<Notice> fullThenEnded = {Activity(Connected, 0), Activity(Connected, 1), Stopped()};
  const std::vector<Notice> full = {Activity(Connected, 0), Activity(Connected, 1), HeadersComplete()};
  h.script.startNotices = {failed, failed, failed, failed, failed, fullThenEnded, failed, full};
  h.script.stoppedOnStop = false;
  auto runner = h.MakeRunner();
  runner->KeepTrying(50ms);
  const auto started = std::chrono::steady_clock::now();
  auto status = std::async(std::launch::async, [&] { return runner->Run(); });
  ASSERT_TRUE(h.output.WaitForValue("headers-complete", 1, 20s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1400ms);  // the waits below, added up
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  std::vector<std::string> retries;
  for (const std::string& line : h.output.All()) {
    if (line.rfind("run retry ", 0) == 0) retries.push_back(line);
  }
  EXPECT_THAT(retries, ::testing::ElementsAre("run retry in=0.05 reason=unreachable", "run retry in=0.1 reason=unreachable",
                                              "run retry in=0.2 reason=unreachable", "run retry in=0.4 reason=unreachable",
                                              "run retry in=0.5 reason=unreachable",  // ten times the first at most
                                              "run retry in=0.05 reason=ended",       // after a run with every box
                                              "run retry in=0.1 reason=unreachable"));
  EXPECT_EQ(h.calls->runs.size(), 8u);
}

TEST(HeadlessRunner, ReloadRestartsTheRunOnlyForANewBoxListOrChannelLimit) {
  Harness h;
  h.script.startNotices = {{Activity(Connected, 0), Activity(Connected, 1), HeadersComplete()},
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
  ASSERT_TRUE(h.WaitFor("headers-complete"));
  runner->RequestReload();
  ASSERT_TRUE(h.WaitFor("reload unchanged"));
  runner->RequestReload();
  ASSERT_TRUE(h.WaitFor("reload failed reason=/x.conf:2: channels takes 1 to 6: 9"));
  runner->RequestReload();
  ASSERT_TRUE(h.WaitFor("headers-complete", 2));
  runner->RequestStop();
  ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  EXPECT_THAT(h.output.All(),
              ::testing::ElementsAre("listening data=40001 utility=40002", "activity row=0 status=Connected",
                                     "activity row=1 status=Connected", "headers-complete", "reload unchanged",
                                     "reload failed reason=/x.conf:2: channels takes 1 to 6: 9",
                                     "reload kept=listen,log reason=restart-needed", "reload restart boxes=1 channels=2",
                                     "stopped", "activity row=0 status=Connected", "headers-complete", "stopped"));
  EXPECT_EQ(h.calls->runs.size(), 2u);
  EXPECT_EQ(h.calls->stops, 2);
  EXPECT_EQ(h.LastRun().channelLimit, 2);
  ASSERT_EQ(h.LastRun().boxes.size(), 1u);
  EXPECT_EQ(DottedText(h.LastRun().boxes[0].address), "127.0.0.4");
  EXPECT_EQ(h.LastRun().boxes[0].port, 7001);
}

TEST(HeadlessRunner, DataServerThatCannotStartGivesStatusFourAndAnAlert) {
  testkit::RecordingAlerts alerts;
  Harness h;
  h.script.serversStart = false;
  auto runner = h.MakeRunner();
  EXPECT_EQ(runner->Run(), kExitNoDataServer);
  EXPECT_TRUE(h.output.All().empty());
  ASSERT_EQ(alerts.Alerts().size(), 1u);
  EXPECT_EQ(alerts.Alerts()[0].text, L"Could not start server. Detail: address in use");
  EXPECT_TRUE(h.calls->runs.empty());  // no run was started
}

}  // namespace
}  // namespace tessamer
