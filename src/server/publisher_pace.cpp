#include "server/publisher_pace.h"

#include <algorithm>
#include <cstdint>

namespace tessamer {

namespace {
constexpr int64_t kShareNumerator = 2;    // of the time between lines the publisher may spend
constexpr int64_t kShareDenominator = 3;  // writing at once
}  // namespace

Pace CPublisherPace::Next(Duration gap, size_t viewers) {
  const Duration estimate = cost * static_cast<int64_t>(viewers);
  const Duration between = std::max(gap, previousGap);
  previousGap = gap;
  if (kShareDenominator * estimate <= kShareNumerator * between) return Pace::WriteNow;
  const Duration broadcast = measured * static_cast<int64_t>(viewers);
  const int64_t gapsPerTry = kBroadcastsPerTry * broadcast / std::max(gap, Duration(1));
  cost -= cost / std::max<int64_t>(gapsPerTry, 2);
  return Pace::Hold;
}

void CPublisherPace::Written(Duration spent, size_t written) {
  if (written == 0) return;
  const Duration latest = spent / static_cast<int64_t>(written);
  cost = measured = std::min(latest, lastCost);
  lastCost = latest;
}

CPublisherPace::Duration CPublisherPace::GatherDelay(size_t viewers) const {
  return std::clamp<Duration>(measured * static_cast<int64_t>(viewers), kGatherDelay,
                              kMaxGatherDelay);
}

}  // namespace tessamer
