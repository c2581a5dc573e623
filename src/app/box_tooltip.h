#pragma once
// The text a row's lamp and address show when the pointer rests on them: the box's health in one
// line, such as "Connected since 14:02:11 · 1.0 records/s · serial VM-20417 · firmware 8.7c" or
// "Lost 00:01:23 ago · reconnecting · Connection refused". Times of day are local.
//
// Threads: any (pure functions of their arguments).

#include <QString>

#include "hub/core/health.h"

namespace tessamer {

// The tooltip of `box` at `now`. A silent box reads "Silent for N s" with N the age of its newest
// record as the snapshot took it (or the time since it fell silent when it never sent one).
QString BoxToolTip(const BoxHealth& box, WallClock::time_point now);

// "14:02:11": the local time of day of `when`.
QString TimeOfDay(WallClock::time_point when);
// "00:01:23": a duration in hours, minutes and seconds (hours may pass 24; negative reads as 0).
QString Elapsed(std::chrono::milliseconds duration);

}  // namespace tessamer
