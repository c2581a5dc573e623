#include "server/publisher_pace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace tessamer {
namespace {

using std::chrono::microseconds;

constexpr size_t kViewers = 100;

// Publications `gap` after one another; each one written at once takes `spent` for all viewers.
// The decision is `expected` for each of `count` of them, or with `within`, for the first time
// within `count` of them.
struct Steps {
  int count;
  microseconds gap;
  microseconds spent;
  Pace expected;
  bool within = false;
};

struct PaceCase {
  const char* name;
  std::vector<Steps> steps;
};

constexpr Pace Now = Pace::WriteNow;
constexpr Pace Hold = Pace::Hold;
constexpr microseconds us(int64_t count) { return microseconds(count); }

// The cases the rule was tuned on, for 100 viewers with a line every millisecond or so.
const std::vector<PaceCase> kCases = {
    {"a light load is written at once", {{20, us(1000), us(100), Now}}},
    {"a load of half the gap, with jitter, stays written at once",
     {{1, us(1000), us(550), Now},
      {1, us(900), us(560), Now},
      {1, us(1100), us(500), Now},
      {1, us(950), us(560), Now},
      {1, us(1000), us(540), Now}}},
    {"a late line and the line soon after it are written at once",
     {{2, us(1000), us(600), Now},
      {1, us(1600), us(600), Now},  // late
      {1, us(400), us(600), Now},   // catching up: the longer gap before it counts
      {2, us(1000), us(600), Now}}},
    {"one slow send does not start gathering",
     {{1, us(1000), us(600), Now},
      {1, us(1000), us(3000), Now},  // slow: the lower of the last two costs counts
      {3, us(1000), us(600), Now}}},
    {"a publisher busy for most of each gap holds lines",
     {{1, us(1000), us(950), Now}, {20, us(1000), us(950), Hold}}},
    {"a sustained overload holds lines, trying to write at once seldom",
     {{1, us(1000), us(1000), Now}, {1, us(1000), us(1000), Hold}, {200, us(500), us(1000), Hold}}},
    {"a load that eases is noticed within a fraction of a second",
     {{1, us(1000), us(900), Now},
      {20, us(1000), us(900), Hold},
      {250, us(1000), us(300), Now, true},  // the cost faded: tried at once, and it is light
      {5, us(1000), us(300), Now}}},
};

TEST(PublisherPaceTest, DecidesAsTunedForEachCase) {
  for (const PaceCase& paceCase : kCases) {
    SCOPED_TRACE(paceCase.name);
    CPublisherPace pace;
    int index = 0;
    for (const Steps& steps : paceCase.steps) {
      bool reached = false;
      for (int i = 0; i < steps.count && !reached; ++i, ++index) {
        const Pace decision = pace.Next(steps.gap, kViewers);
        if (decision == Pace::WriteNow) pace.Written(steps.spent, kViewers);
        reached = steps.within && decision == steps.expected;
        if (!steps.within) {
          EXPECT_EQ(decision, steps.expected) << "publication " << index;
        }
      }
      if (steps.within) {
        EXPECT_TRUE(reached) << "by publication " << index;
      }
    }
  }
}

TEST(PublisherPaceTest, WithoutViewersOrWritesNothingIsHeld) {
  CPublisherPace pace;
  EXPECT_EQ(pace.Next(us(1000), kViewers), Now);
  pace.Written(us(5000), kViewers);
  pace.Written(us(5000), 0);  // nobody written at once: no measurement
  EXPECT_EQ(pace.Next(us(1000), 0), Now);
  EXPECT_EQ(pace.Next(us(1000), kViewers), Hold);
}

TEST(PublisherPaceTest, TheGatheringDelayIsWhatABroadcastCostsWithinItsBounds) {
  CPublisherPace pace;
  EXPECT_EQ(pace.GatherDelay(kViewers), kGatherDelay);  // nothing measured yet
  pace.Written(us(1000), kViewers);                      // 10 us per viewer
  EXPECT_EQ(pace.GatherDelay(kViewers), kGatherDelay);
  EXPECT_EQ(pace.GatherDelay(5 * kViewers), us(5000));
  EXPECT_EQ(pace.GatherDelay(100 * kViewers), kMaxGatherDelay);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(pace.Next(us(100), 5 * kViewers), Hold);
  EXPECT_EQ(pace.GatherDelay(5 * kViewers), us(5000));  // held lines measure nothing
}

}  // namespace
}  // namespace tessamer
