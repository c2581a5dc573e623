#include "server/publisher_pace.h"

#include <algorithm>
#include <cstdint>

namespace tessamer {

namespace {
constexpr int64_t kShareNumerator = 2;    // of the time between lines the publisher may spend
constexpr int64_t kShareDenominator = 3;  // writing at once
constexpr int64_t kFadePerHeldLine = 16;  // the cost loses this fraction with each held line
}  // namespace

Pace CPublisherPace::Next(Duration gap, size_t viewers) {
  const Duration estimate = cost * static_cast<int64_t>(viewers);
  const Duration between = std::max(gap, previousGap);
  previousGap = gap;
  if (kShareDenominator * estimate <= kShareNumerator * between) return Pace::WriteNow;
  cost -= cost / kFadePerHeldLine;
  return Pace::Hold;
}

void CPublisherPace::Written(Duration spent, size_t written) {
  if (written == 0) return;
  const Duration measured = spent / static_cast<int64_t>(written);
  cost = std::min(measured, lastCost);
  lastCost = measured;
}

}  // namespace tessamer
