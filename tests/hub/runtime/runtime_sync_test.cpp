#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hub/runtime/concurrent_containers.h"
#include "hub/runtime/message_blocks.h"
#include "hub/runtime/message_timer.h"
#include "hub/runtime/runtime_agent.h"
#include "hub/runtime/runtime_event.h"
#include "hub/runtime/runtime_task.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;

// Counts what reaches it on the sending thread; sets `reached` at `target` messages.
class CountingTarget : public ITarget<int> {
 public:
  explicit CountingTarget(int target) : target(target) {}
  ~CountingTarget() override { UnlinkFromSources(); }
  bool offer(const int&) override {
    if (++count >= target) reached.set();
    return true;
  }
  std::atomic<int> count{0};
  const int target;
  event reached;
};

TEST(Timer, RepeatsUntilStoppedAndSendsNothingAfterwards) {
  auto counter = std::make_shared<CountingTarget>(3);
  timer<int> repeating(5ms, 42, std::static_pointer_cast<ITarget<int>>(counter), true);
  repeating.start();
  ASSERT_TRUE(counter->reached.wait_for(kBound));
  repeating.stop();
  EXPECT_FALSE(repeating.is_running());
  const int atStop = counter->count.load();

  // A one-shot reference timer of many periods: by the time it fires, a timer that kept going
  // would have sent several more.
  CountingTarget reference(1);
  timer<int> oneShot(60ms, 0, &reference, false);
  oneShot.start();
  ASSERT_TRUE(reference.reached.wait_for(kBound));
  EXPECT_EQ(counter->count.load(), atStop);
  EXPECT_EQ(reference.count.load(), 1);
  EXPECT_FALSE(oneShot.is_running());
}

// Records when each send arrives; the first send is held until `release` is set (a stalled pool).
class StallingTarget : public ITarget<int> {
 public:
  bool offer(const int&) override {
    size_t count = 0;
    {
      std::lock_guard guard(mutex);
      times.push_back(std::chrono::steady_clock::now());
      count = times.size();
    }
    if (count == 1) {
      stalled.set();
      release.wait_for(kBound);
    }
    if (count == 5) fiveSent.set();
    return true;
  }
  std::vector<std::chrono::steady_clock::time_point> Times() {
    std::lock_guard guard(mutex);
    return times;
  }
  event stalled;
  event release;
  event fiveSent;

 private:
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> times;
};

TEST(Timer, AStallDelaysTheNextSendAndBringsNoBurstOfMissedOnes) {
  constexpr auto kPeriod = 20ms;
  StallingTarget target;
  timer<int> repeating(kPeriod, 7, &target, true);
  repeating.start();
  ASSERT_TRUE(target.stalled.wait_for(kBound));
  // Held for many periods: the ones missed meanwhile are not sent afterwards.
  CountingTarget reference(1);
  timer<int> oneShot(10 * kPeriod, 0, &reference, false);
  oneShot.start();
  ASSERT_TRUE(reference.reached.wait_for(kBound));
  const auto released = std::chrono::steady_clock::now();
  target.release.set();
  ASSERT_TRUE(target.fiveSent.wait_for(kBound));
  repeating.stop();
  const auto times = target.Times();
  EXPECT_GE(times[1] - released, kPeriod);
  for (size_t i = 2; i < 5; ++i) EXPECT_GE(times[i] - times[i - 1], kPeriod) << "send " << i;
}

TEST(Timer, CanBeRestartedAndDestroyedWhileRunning) {
  CountingTarget counter(2);
  {
    timer<int> t(5ms, 1, &counter, true);
    t.start();
    t.stop();
    t.start();
    ASSERT_TRUE(counter.reached.wait_for(kBound));
  }  // destroyed while running: must not send into a dead target afterwards
  EXPECT_GE(counter.count.load(), 2);
}

class WaitingAgent : public agent {
 public:
  ~WaitingAgent() override { join(); }
  event release;
  std::thread::id runThread;

 protected:
  void run() override {
    runThread = std::this_thread::get_id();
    release.wait();
    done();
  }
};

TEST(Agent, WaitForAllTimesOutThenReturnsOnceEveryAgentIsDone) {
  WaitingAgent a;
  WaitingAgent b;
  EXPECT_EQ(a.status(), agent_status::created);
  ASSERT_TRUE(a.start());
  ASSERT_TRUE(b.start());
  EXPECT_FALSE(a.start());
  b.release.set();

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(agent::wait_for_all({&a, &b}, 50ms), operation_timed_out);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);

  a.release.set();
  EXPECT_NO_THROW(agent::wait_for_all({&a, &b}, kBound));
  EXPECT_EQ(a.status(), agent_status::done);
  EXPECT_NE(a.runThread, std::this_thread::get_id());
  EXPECT_NE(a.runThread, b.runThread);
}

class ThrowingAgent : public agent {
 public:
  ~ThrowingAgent() override { join(); }

 protected:
  void run() override { throw std::runtime_error("lost"); }
};

TEST(Agent, AnAgentWhoseRunEndsWithoutDoneIsDoneAnyway) {
  ThrowingAgent a;
  a.start();
  EXPECT_NO_THROW(agent::wait_for_all({&a}, kBound));
}

TEST(Event, WaitForMultipleGivesTheIndexOfTheEventSet) {
  event e0, e1, e2;
  std::thread setter([&] { e2.set(); });
  EXPECT_EQ(event::wait_for_multiple({&e0, &e1, &e2}, kBound), 2u);
  setter.join();

  e1.set();  // already set before the call: the lowest set index wins
  EXPECT_EQ(event::wait_for_multiple({&e0, &e1, &e2}), 1u);

  e1.reset();
  e2.reset();
  EXPECT_FALSE(e1.is_set());
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(event::wait_for_multiple({&e0, &e1, &e2}, 40ms), event::timeout_value);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 40ms);

  // A set after a timed-out wait still wakes a later one: nothing stale stays registered.
  std::thread late([&] { e0.set(); });
  EXPECT_EQ(event::wait_for_multiple({&e0, &e1}, kBound), 0u);
  late.join();
}

TEST(Task, ExceptionOfTheBodyReachesTheContinuation) {
  auto body = create_task([]() -> bool { throw std::runtime_error("agents failed"); });
  std::string seen;
  auto continuation = body.then([&](task<bool> finished) {
    try {
      finished.get();
    } catch (const std::exception& e) {
      seen = e.what();
    }
  });
  continuation.get();
  EXPECT_EQ(seen, "agents failed");
  EXPECT_TRUE(body.is_done());
  EXPECT_THROW(body.get(), std::runtime_error);
}

TEST(Task, ContinuationRunsAfterTheBodyOffTheAttachingThread) {
  event release;
  std::atomic<bool> bodyEnded{false};
  auto body = create_task([&] {
    release.wait();
    bodyEnded = true;
    return 7;
  });
  std::thread::id continuationThread;
  auto continuation = body.then([&](task<int> finished) {
    continuationThread = std::this_thread::get_id();
    return bodyEnded.load() ? finished.get() : -1;
  });
  EXPECT_FALSE(continuation.is_done());
  release.set();
  EXPECT_EQ(continuation.get(), 7);
  EXPECT_NE(continuationThread, std::this_thread::get_id());

  // Attached after the body has finished: still runs, still not on this thread.
  auto late = body.then([](task<int>) { return std::this_thread::get_id(); });
  EXPECT_NE(late.get(), std::this_thread::get_id());
}

TEST(ConcurrentContainers, InsertFindAndSizeFromSeveralThreads) {
  concurrent_map<int, int> map;
  concurrent_set<int> set;
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 500; ++i) {
        map.insert(i, w);  // every writer tries every key: one wins each
        set.insert(i % 100);
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(map.size(), 500u);
  EXPECT_EQ(set.size(), 100u);
  EXPECT_TRUE(map.find(499).has_value());
  EXPECT_FALSE(map.find(500).has_value());
  EXPECT_FALSE(map.insert(3, 99));
  EXPECT_TRUE(set.contains(42));
  map.clear();
  set.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(set.size(), 0u);
}

}  // namespace
}  // namespace tessamer
