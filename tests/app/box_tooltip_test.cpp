// The health line a row's lamp and address show, for each state a box can be in.

#include "app/box_tooltip.h"

#include <gtest/gtest.h>

#include "app/sample_health.h"

namespace tessamer {
namespace {

using apptest::LocalTime;
using apptest::SampleHealth;
using std::chrono::milliseconds;

TEST(BoxToolTipTest, EachStateReadsAsTheOperatorSeesIt) {
  const HubHealth sample = SampleHealth();
  const BoxHealth connected = sample.boxes[0];
  const BoxHealth lost = sample.boxes[1];
  const WallClock::time_point now = LocalTime(14, 5, 0);
  EXPECT_EQ(BoxToolTip(connected, now),
            QStringLiteral("Connected since 14:02:11 \u00B7 1.0 records/s \u00B7 serial VM-20417 "
                           "\u00B7 firmware 8.7c"));
  EXPECT_EQ(BoxToolTip(lost, now),
            QStringLiteral("Lost 00:01:23 ago \u00B7 reconnecting \u00B7 Connection refused"));

  BoxHealth silent = connected;
  silent.state = BoxState::Silent;
  silent.newestRecordAge = milliseconds(12900);
  EXPECT_EQ(BoxToolTip(silent, now),
            QStringLiteral("Silent for 12 s \u00B7 serial VM-20417 \u00B7 firmware 8.7c"));
  silent.newestRecordAge.reset();  // fell silent before its first record
  silent.stateSince = LocalTime(14, 4, 30);
  silent.serialNumber.clear();
  silent.firmware.clear();
  EXPECT_EQ(BoxToolTip(silent, now), QStringLiteral("Silent for 30 s"));

  BoxHealth other = lost;
  other.state = BoxState::Connecting;
  other.stateSince = LocalTime(14, 4, 59);
  EXPECT_EQ(BoxToolTip(other, now),
            QStringLiteral("Connecting since 14:04:59 \u00B7 reconnection 1 \u00B7 "
                           "Connection refused"));
  other.state = BoxState::Failed;
  EXPECT_EQ(BoxToolTip(other, now),
            QStringLiteral("Could not connect at 14:04:59 \u00B7 Connection refused"));
  other.state = BoxState::Stopped;
  EXPECT_EQ(BoxToolTip(other, now), QStringLiteral("Stopped at 14:04:59 \u00B7 170 records"));
  other.state = BoxState::Idle;
  EXPECT_EQ(BoxToolTip(other, now), QStringLiteral("Not connected"));
}

TEST(BoxToolTipTest, ElapsedTimesPassADayAndNeverGoNegative) {
  EXPECT_EQ(Elapsed(milliseconds(-5000)), QStringLiteral("00:00:00"));
  EXPECT_EQ(Elapsed(std::chrono::hours(26) + std::chrono::seconds(61)), QStringLiteral("26:01:01"));
}

}  // namespace
}  // namespace tessamer
