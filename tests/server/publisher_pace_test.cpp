#include "server/publisher_pace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace tessamer {
namespace {

using std::chrono::microseconds;

constexpr size_t kViewers = 100;

// One publication: `gap` after the previous one started; when it is written at once, writing to
// every viewer takes `spent`.
struct Step {
  microseconds gap;
  microseconds spent;
  Pace expected;
};

struct PaceCase {
  const char* name;
  std::vector<Step> steps;
};

constexpr Pace Now = Pace::WriteNow;
constexpr Pace Hold = Pace::Hold;
constexpr microseconds us(int64_t count) { return microseconds(count); }

// The cases the rule was tuned on, for 100 viewers with a line every millisecond or so.
const std::vector<PaceCase> kCases = {
    {"a light load is written at once",
     {{us(1000), us(100), Now}, {us(1000), us(120), Now}, {us(1000), us(90), Now}}},
    {"a load of half the gap, with jitter, stays written at once",
     {{us(1000), us(550), Now},
      {us(900), us(560), Now},
      {us(1100), us(500), Now},
      {us(950), us(560), Now},
      {us(1000), us(540), Now}}},
    {"a late line and the line soon after it are written at once",
     {{us(1000), us(600), Now},
      {us(1000), us(600), Now},
      {us(1600), us(600), Now},   // late
      {us(400), us(600), Now},    // catching up: the longer gap before it counts
      {us(1000), us(600), Now}}},
    {"one slow send does not start gathering",
     {{us(1000), us(600), Now},
      {us(1000), us(3000), Now},  // slow: the lower of the last two costs counts
      {us(1000), us(600), Now},
      {us(1000), us(600), Now}}},
    {"a publisher busy for most of each gap holds lines",
     {{us(1000), us(950), Now},
      {us(1000), us(950), Hold},
      {us(1000), us(950), Hold},
      {us(1000), us(950), Hold},
      {us(1000), us(950), Hold}}},
    {"a sustained overload holds every line",
     {{us(1000), us(1000), Now},
      {us(1000), us(1000), Hold},
      {us(500), us(1000), Hold},
      {us(500), us(1000), Hold},
      {us(500), us(1000), Hold},
      {us(500), us(1000), Hold},
      {us(500), us(1000), Hold},
      {us(500), us(1000), Hold}}},
    {"a load that eases is noticed and written at once again",
     {{us(1000), us(900), Now},
      {us(1000), us(900), Hold},
      {us(1000), us(900), Hold},
      {us(1000), us(900), Hold},
      {us(1000), us(900), Hold},
      {us(1000), us(900), Hold},
      {us(1000), us(300), Now},  // the cost faded while held: tried at once, and it is light
      {us(1000), us(300), Now},
      {us(1000), us(300), Now}}},
};

TEST(PublisherPaceTest, DecidesAsTunedForEachCase) {
  for (const PaceCase& paceCase : kCases) {
    SCOPED_TRACE(paceCase.name);
    CPublisherPace pace;
    int index = 0;
    for (const Step& step : paceCase.steps) {
      const Pace decision = pace.Next(step.gap, kViewers);
      EXPECT_EQ(decision, step.expected) << "publication " << index;
      if (decision == Pace::WriteNow) pace.Written(step.spent, kViewers);
      ++index;
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

}  // namespace
}  // namespace tessamer
