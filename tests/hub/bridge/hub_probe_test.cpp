// The watchdog's probe: it comes back only once every place it visits has let it through.

#include <gtest/gtest.h>

#include <asio/post.hpp>

#include <future>

#include "hub/bridge/hub_probe.h"
#include "server/data_server.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

TEST(HubProbe, DataServerWorkersLetItThroughOnlyWhenEveryOneComesBy) {
  CDataServer server(0, nullptr, "127.0.0.1");
  ASSERT_TRUE(server.Start());
  std::promise<void> holding;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  asio::post(server.Executor(), [&holding, released] {
    holding.set_value();
    released.wait();
  });
  ASSERT_EQ(holding.get_future().wait_for(5s), std::future_status::ready);

  std::promise<void> back;
  std::future<void> cameBack = back.get_future();
  MeetWorkers(server.Executor(), kWorkerCount, std::make_shared<ProbeToken>([&back] { back.set_value(); }));
  // Ten meeting waits: the free worker alone never lets the probe through.
  EXPECT_EQ(cameBack.wait_for(10 * kWorkerMeetWait), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(cameBack.wait_for(10s), std::future_status::ready);
  server.Stop();
}

}  // namespace
}  // namespace tessamer
