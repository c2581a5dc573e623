#include "server/context_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/client_link.h"
#include "support/error_numbers.h"

namespace tessamer {
namespace {

// The pool's time: each text the publisher writes itself costs `sendCost`.
CContextPool::Clock::time_point fakeNow;
CContextPool::Clock::duration sendCost;
CContextPool::Clock::time_point FakeNow() { return fakeNow; }

// A server side that takes every text at once and records what the pool asks of it.
class FakeIo : public IClientIo {
 public:
  size_t SendNow(ClientContext&, std::string_view bytes) override {
    fakeNow += sendCost;
    ++written;
    return bytes.size();
  }
  void RequestSends(const std::vector<ClientContext*>& records) override {
    for (ClientContext* record : records) starts.push_back(record);
  }
  void RequestClose(ClientContext&) override {}
  void RequestStartHeld() override { ++startHeldRequests; }

  int written = 0;
  int startHeldRequests = 0;
  std::vector<ClientContext*> starts;
};

TEST(ContextPoolTest, APublisherThatCannotKeepUpHasItsTextsGatheredUntilTheLoadEases) {
  fakeNow = {};
  sendCost = std::chrono::microseconds(10);
  asio::io_context context;  // the clients' links' strands: outlives the pool
  FakeIo io;
  CContextPool pool(io, kMaxQueuedBytes, &FakeNow);
  constexpr int kClients = 100;  // a broadcast written at once takes 1 ms
  for (int i = 0; i < kClients; ++i) {
    ClientContext& record = pool.Acquire(0);
    ASSERT_TRUE(pool.Connect(record, std::make_shared<ClientLink>(context)));
    record.processor->Process();  // the client's first send step: idle
  }
  const auto publish = [&](std::chrono::microseconds after) {
    fakeNow += after;
    pool.Publish(SavedText::DataLine, "line\r\n");
  };
  const auto runSendSteps = [&] {
    for (ClientContext* record : io.starts) {
      do record->position = record->length;
      while (record->processor->Process() == kErrorIoPending);
    }
    io.starts.clear();
  };
  for (int i = 0; i < 3; ++i) publish(std::chrono::milliseconds(100));
  EXPECT_EQ(io.written, 3 * kClients);
  // Writing at once takes 1 ms of the next 1.2 ms: more than two thirds of the publisher's time.
  // One text that comes soon, as after a late one, is still written at once; a second means the
  // publisher is behind.
  publish(std::chrono::microseconds(200));
  EXPECT_EQ(io.written, 4 * kClients);
  EXPECT_EQ(io.startHeldRequests, 0);
  publish(std::chrono::microseconds(200));
  ASSERT_EQ(io.startHeldRequests, 1);
  const int written = io.written;
  publish(std::chrono::microseconds(500));
  EXPECT_EQ(io.written, written);
  EXPECT_EQ(io.startHeldRequests, 1);  // one gathering step for both
  EXPECT_TRUE(io.starts.empty());
  pool.StartHeld();
  ASSERT_EQ(io.starts.size(), static_cast<size_t>(kClients));
  ClientContext& first = *io.starts.front();
  ASSERT_EQ(first.processor->Process(), kErrorIoPending);
  EXPECT_EQ(first.texts.size(), 2u);  // both held lines in one send
  runSendSteps();
  // Publications far apart are written at once again.
  publish(std::chrono::milliseconds(100));
  EXPECT_EQ(io.written, written + kClients);
  EXPECT_EQ(io.startHeldRequests, 1);
}

}  // namespace
}  // namespace tessamer
