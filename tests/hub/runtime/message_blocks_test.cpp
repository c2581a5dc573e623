#include "hub/runtime/message_blocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "hub/runtime/runtime_event.h"
#include "testkit/recorders.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // how long a test waits for something that must happen

// Collects values from actions on pool threads and lets the test wait for a count.
template <typename T>
using Collector = testkit::Recorder<T>;

// A target that takes messages on the offering thread while `accepting` is true.
template <typename T>
class GateTarget : public ITarget<T> {
 public:
  ~GateTarget() override { this->UnlinkFromSources(); }
  bool offer(const T& message) override {
    if (!accepting) return false;
    received.Add(message);
    return true;
  }
  std::atomic<bool> accepting{true};
  Collector<T> received;
};

TEST(UnboundedBuffer, KeepsEachSendersOrderUnderConcurrentSenders) {
  constexpr int kSenders = 4;
  constexpr int kPerSender = 2000;
  Collector<std::pair<int, int>> got;
  call<std::pair<int, int>> sink([&](const std::pair<int, int>& m) { got.Add(m); });
  unbounded_buffer<std::pair<int, int>> buffer;
  buffer.link_target(sink);

  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i) EXPECT_TRUE(send(buffer, std::make_pair(s, i)));
    });
  }
  for (auto& t : senders) t.join();
  ASSERT_TRUE(got.WaitForCount(kSenders * kPerSender));

  std::vector<int> next(kSenders, 0);
  for (const auto& [sender, index] : got.All()) {
    ASSERT_EQ(index, next[sender]) << "sender " << sender;
    ++next[sender];
  }
  EXPECT_EQ(got.All().size(), size_t{kSenders * kPerSender});
}

TEST(UnboundedBuffer, OffersToTargetsInLinkOrderAndEachMessageToOneTarget) {
  GateTarget<int> first;
  GateTarget<int> second;
  unbounded_buffer<int> buffer;
  buffer.link_target(first);
  buffer.link_target(second);

  send(buffer, 1);
  first.accepting = false;
  send(buffer, 2);
  first.accepting = true;
  send(buffer, 3);

  EXPECT_EQ(first.received.All(), (std::vector<int>{1, 3}));
  EXPECT_EQ(second.received.All(), (std::vector<int>{2}));
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(UnboundedBuffer, MessageDeclinedByEveryTargetIsOfferedAgainWithTheNext) {
  // Two filtered call blocks, as the bridge's first- and later-report handlers are.
  std::atomic<bool> firstOpen{false};
  std::atomic<bool> secondOpen{false};
  Collector<int> firstGot;
  Collector<int> secondGot;
  call<int> first([&](const int& m) { firstGot.Add(m); }, [&](const int&) { return firstOpen.load(); });
  call<int> second([&](const int& m) { secondGot.Add(m); },
                   [&](const int&) { return secondOpen.load(); });
  unbounded_buffer<int> buffer;
  buffer.link_target(first);
  buffer.link_target(second);

  send(buffer, 10);  // declined by both: stays at the head
  EXPECT_EQ(buffer.size(), 1u);
  secondOpen = true;
  EXPECT_EQ(buffer.size(), 1u);  // opening a filter alone does not deliver it

  send(buffer, 11);  // the held message goes first, then the new one
  ASSERT_TRUE(secondGot.WaitForCount(2));
  EXPECT_EQ(secondGot.All(), (std::vector<int>{10, 11}));
  EXPECT_TRUE(firstGot.All().empty());
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(UnboundedBuffer, HeldMessagesGoToATargetLinkedLater) {
  unbounded_buffer<int> buffer;
  send(buffer, 1);
  send(buffer, 2);
  EXPECT_EQ(buffer.size(), 2u);
  GateTarget<int> target;
  buffer.link_target(target);
  EXPECT_EQ(target.received.All(), (std::vector<int>{1, 2}));
}

TEST(CallBlock, RunsOneActionAtATimeInArrivalOrder) {
  event release;
  event overlapped;
  std::atomic<int> inside{0};
  Collector<int> order;
  call<int> block([&](const int& m) {
    if (inside.fetch_add(1) != 0) overlapped.set();
    if (m == 0) release.wait();  // the first action holds the block while the rest arrive
    order.Add(m);
    inside.fetch_sub(1);
  });
  constexpr int kMessages = 50;
  for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(send(block, i));
  // A block that ran actions side by side would start another one while the first is held.
  EXPECT_FALSE(overlapped.wait_for(100ms));
  release.set();
  ASSERT_TRUE(order.WaitForCount(kMessages));
  EXPECT_FALSE(overlapped.is_set());
  std::vector<int> expected(kMessages);
  for (int i = 0; i < kMessages; ++i) expected[i] = i;
  EXPECT_EQ(order.All(), expected);
}

TEST(CallBlock, DestructionWaitsForTheRunningActionAndUnlinks) {
  event entered;
  event release;
  std::atomic<bool> actionReturned{false};
  auto block = std::make_unique<call<int>>([&](const int&) {
    entered.set();
    release.wait();
    actionReturned = true;
  });
  unbounded_buffer<int> buffer;
  buffer.link_target(block.get());
  send(buffer, 1);
  ASSERT_TRUE(entered.wait_for(kBound));

  event destroyed;
  bool returnedBeforeDestroyEnded = false;
  std::thread destroyer([&] {
    block.reset();
    returnedBeforeDestroyEnded = actionReturned.load();
    destroyed.set();
  });
  EXPECT_FALSE(destroyed.wait_for(100ms));  // still held by the running action
  release.set();
  ASSERT_TRUE(destroyed.wait_for(kBound));
  destroyer.join();
  EXPECT_TRUE(returnedBeforeDestroyEnded);

  // The buffer no longer offers to the destroyed block: the message is kept.
  send(buffer, 2);
  EXPECT_EQ(buffer.size(), 1u);
}

TEST(CallBlock, DestroyingABufferUnlinksItFromItsTargets) {
  Collector<int> got;
  call<int> block([&](const int& m) { got.Add(m); });
  {
    unbounded_buffer<int> buffer;
    buffer.link_target(block);
    send(buffer, 1);
  }
  // A new source links fine and the block still works after its first source is gone.
  unbounded_buffer<int> other;
  other.link_target(block);
  send(other, 2);
  ASSERT_TRUE(got.WaitForCount(2));
  EXPECT_EQ(got.All(), (std::vector<int>{1, 2}));
}

TEST(Transformer, TransformsInOrderAndKeepsResultsUntilATargetTakesThem) {
  transformer<int, int> doubler([](const int& m) { return m * 2; });
  for (int i = 1; i <= 3; ++i) send(doubler, i);
  Collector<int> got;
  call<int> sink([&](const int& m) { got.Add(m); });
  doubler.link_target(sink);
  send(doubler, 4);
  ASSERT_TRUE(got.WaitForCount(4));
  EXPECT_EQ(got.All(), (std::vector<int>{2, 4, 6, 8}));
}

TEST(OverwriteBuffer, OffersEachMessageAndKeepsTheNewest) {
  overwrite_buffer<int> buffer;
  EXPECT_FALSE(buffer.has_value());
  GateTarget<int> target;
  buffer.link_target(target);
  send(buffer, 1);
  target.accepting = false;
  send(buffer, 2);  // declined and not kept for later
  target.accepting = true;
  send(buffer, 3);
  EXPECT_EQ(target.received.All(), (std::vector<int>{1, 3}));
  EXPECT_TRUE(buffer.has_value());
  EXPECT_EQ(buffer.get(), 3);
}

}  // namespace
}  // namespace tessamer
