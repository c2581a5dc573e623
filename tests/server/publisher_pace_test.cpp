#include "server/publisher_pace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace tessamer {
namespace {

using std::chrono::microseconds;
using namespace std::chrono_literals;

constexpr size_t kViewers = 100;
constexpr Pace Now = Pace::WriteNow;
constexpr Pace Hold = Pace::Hold;
constexpr bool kWithin = true;

// `count` publications `gapUs` microseconds apart, each taking `spentUs` for all viewers when
// written at once: the decision is `expected` for each, or with kWithin, for the first time
// within them.
struct Steps {
  int count;
  int64_t gapUs;
  int64_t spentUs;
  Pace expected;
  bool within = false;
};

struct PaceCase {
  const char* name;
  std::vector<Steps> steps;
};

// The cases the rule was tuned on, for 100 viewers with a line every millisecond or so.
const std::vector<PaceCase> kCases = {
    {"a light load is written at once", {{20, 1000, 100, Now}}},
    {"a load of half the gap, with jitter, stays written at once",
     {{1, 1000, 550, Now}, {1, 900, 560, Now}, {1, 1100, 500, Now}, {1, 950, 560, Now}}},
    {"a late line, and the line soon after it, are written at once (the longer gap counts)",
     {{2, 1000, 600, Now}, {1, 1600, 600, Now}, {1, 400, 600, Now}, {2, 1000, 600, Now}}},
    {"one slow send does not start gathering (the lower cost counts)",
     {{1, 1000, 600, Now}, {1, 1000, 3000, Now}, {3, 1000, 600, Now}}},
    {"a publisher busy for most of each gap holds lines",
     {{1, 1000, 950, Now}, {5, 1000, 950, Hold}}},
    {"a sustained overload holds lines for many broadcasts' time before trying again",
     {{1, 1000, 1000, Now}, {1, 1000, 1000, Hold}, {25, 500, 1000, Hold}}},
    {"a load that eases is noticed within a few lines",
     {{1, 1000, 900, Now},
      {3, 1000, 900, Hold},
      {50, 1000, 300, Now, kWithin},  // tried at once once the cost faded: it is light now
      {5, 1000, 300, Now}}},
};

TEST(PublisherPaceTest, DecidesAsTunedForEachCase) {
  for (const PaceCase& paceCase : kCases) {
    SCOPED_TRACE(paceCase.name);
    CPublisherPace pace;
    int index = 0;
    for (const Steps& steps : paceCase.steps) {
      bool reached = false;
      for (int i = 0; i < steps.count && !reached; ++i, ++index) {
        const Pace decision = pace.Next(microseconds(steps.gapUs), kViewers);
        if (decision == Pace::WriteNow) pace.Written(microseconds(steps.spentUs), kViewers);
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
  EXPECT_EQ(pace.Next(1000us, kViewers), Now);
  pace.Written(5000us, kViewers);
  pace.Written(5000us, 0);  // nobody written at once: no measurement
  EXPECT_EQ(pace.Next(1000us, 0), Now);
  EXPECT_EQ(pace.Next(1000us, kViewers), Hold);
}

TEST(PublisherPaceTest, TheGatheringDelayIsWhatABroadcastCostsWithinItsBounds) {
  CPublisherPace pace;
  EXPECT_EQ(pace.GatherDelay(kViewers), kGatherDelay);  // nothing measured yet
  pace.Written(1000us, kViewers);  // 10 us per viewer
  EXPECT_EQ(pace.GatherDelay(kViewers), kGatherDelay);
  EXPECT_EQ(pace.GatherDelay(5 * kViewers), 5000us);
  EXPECT_EQ(pace.GatherDelay(100 * kViewers), kMaxGatherDelay);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(pace.Next(100us, 5 * kViewers), Hold);
  EXPECT_EQ(pace.GatherDelay(5 * kViewers), 5000us);  // held lines measure nothing
}

}  // namespace
}  // namespace tessamer
