// The service manager's view of a headless hub: the status line, and a watchdog heartbeat that a
// real bridge lets through only while its routing works.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "app/cli/demo_boxes.h"
#include "app/cli/headless_runner.h"
#include "app/cli/service_notifier.h"
#include "hub/bridge/hub_bridge.h"
#include "hub/core/records.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

using Texts = testkit::Recorder<std::string>;  // states sent, lines printed

// The first text that begins with `prefix`, waited for.
bool WaitForPrefix(const Texts& texts, const std::string& prefix, std::string& text) {
  return texts.WaitFor([&](const std::vector<std::string>& all) {
    for (const std::string& t : all) {
      if (t.rfind(prefix, 0) != 0) continue;
      text = t;
      return true;
    }
    return false;
  });
}

// Passes every notice on to the runner; while `holding`, the routing block that reports the
// combined header (its header collector) is held in that report until Release.
class RoutingHold : public INoticeSink {
 public:
  void Post(Notice notice) override {
    if (std::holds_alternative<HeadersCompleteNotice>(notice)) {
      std::unique_lock lock(mutex);
      held = true;
      changed.notify_all();
      changed.wait(lock, [this] { return released; });
    }
    runner->Post(std::move(notice));
  }
  bool WaitHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return held; });
  }
  void Release() {
    {
      std::lock_guard guard(mutex);
      released = true;
    }
    changed.notify_all();
  }

  INoticeSink* runner = nullptr;

 private:
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool released = false;
};

TEST(ServiceNotifier, StatusLineCountsConnectedBoxesAndViewers) {
  EXPECT_EQ(ServiceStatusLine(4, 4, 3), "4 of 4 boxes connected, 3 viewers");
  EXPECT_EQ(ServiceStatusLine(0, 2, 1), "0 of 2 boxes connected, 1 viewer");
}

TEST(ServiceNotifier, HeartbeatStopsWhileTheRoutingIsHeldAndComesBackOnRelease) {
  CDemoBoxes demo;
  std::string error;
  ASSERT_TRUE(demo.Start(1, error)) << error;
  HubConfig config;
  config.listenAddress = "127.0.0.1";
  config.dataPort = 0;
  config.utilityPort = 0;
  config.defaultBoxAddress = "127.0.0.1";
  config.boxUtilityPort = demo.UtilityPort();
  RunSettings settings;
  for (const Box& box : demo.Boxes()) {
    settings.boxes.push_back(BoxOption{DottedText(box.address), static_cast<uint16_t>(box.port)});
  }

  Texts states;
  Texts lines;
  RoutingHold hold;
  CServiceNotifier notifier(states.Adder(), 200ms);
  CHeadlessRunner runner(
      settings, config,
      [&hold](INoticeSink* sink, const HubConfig& hubConfig) -> std::unique_ptr<IHubControl> {
        hold.runner = sink;
        return std::make_unique<CHubBridge>(&hold, hubConfig);
      },
      lines.Adder());
  runner.SetNotifier(&notifier);
  auto status = std::async(std::launch::async, [&runner] { return runner.Run(); });

  ASSERT_TRUE(hold.WaitHeld(10s));
  // A probe that passed the header collector before the hold may still bring one beat.
  const size_t beats = states.CountIf([](const std::string& s) { return s == "WATCHDOG=1"; }) + 1;
  // The rest of the hub goes on: a viewer is counted.
  std::string listening;
  ASSERT_TRUE(WaitForPrefix(lines, "listening data=", listening));
  testkit::TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(std::stoi(listening.substr(15)))));
  ASSERT_TRUE(states.WaitForValue("STATUS=1 of 1 boxes connected, 1 viewer"));
  // Ten heartbeat periods with the routing held: not one beat.
  EXPECT_FALSE(states.WaitForValue("WATCHDOG=1", beats + 1, 1s));
  hold.Release();
  EXPECT_TRUE(states.WaitForValue("WATCHDOG=1", beats + 1));

  runner.RequestStop();
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(status.get(), kExitStopped);
  const std::vector<std::string> sent = states.All();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), "READY=1");
  EXPECT_EQ(sent.back(), "STOPPING=1");
  EXPECT_THAT(sent, ::testing::IsSupersetOf({"STATUS=0 of 1 boxes connected, 0 viewers",
                                             "STATUS=1 of 1 boxes connected, 0 viewers"}));
}

}  // namespace
}  // namespace tessamer
