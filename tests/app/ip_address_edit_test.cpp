// The address field: four parts of 0 to 255, empty allowed, read as one 32-bit address.

#include "app/ip_address_edit.h"

#include <gtest/gtest.h>

#include <QTest>

#include "app/box_settings.h"

namespace tessamer {
namespace {

TEST(IpAddressEditTest, ReadsTheFirstPartAsTheMostSignificantByte) {
  CIpAddressEdit field;
  EXPECT_TRUE(field.IsBlank());
  EXPECT_EQ(field.GetAddress(), 0u);
  field.SetText(QStringLiteral("192.168.1.10"));
  EXPECT_EQ(field.GetAddress(), 0xC0A8010Au);
  EXPECT_EQ(field.Text(), QStringLiteral("192.168.1.10"));
  field.SetAddress(0x0A000005u);
  EXPECT_EQ(field.Text(), QStringLiteral("10.0.0.5"));
  field.Clear();
  EXPECT_TRUE(field.IsBlank());
  EXPECT_EQ(field.Text(), QString());
}

TEST(IpAddressEditTest, EmptyPartsReadAsZeroAndBadTextEmptiesTheField) {
  CIpAddressEdit field;
  field.SetText(QStringLiteral("10..0.5"));
  EXPECT_FALSE(field.IsBlank());
  EXPECT_EQ(field.GetAddress(), 0x0A000005u);
  for (const char* bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "a.b.c.d", "-1.2.3.4", "0010.1.1.1"}) {
    field.SetText(QStringLiteral("1.2.3.4"));
    field.SetText(QString::fromLatin1(bad));
    EXPECT_TRUE(field.IsBlank()) << bad;
  }
}

TEST(IpAddressEditTest, TypingKeepsEachPartWithinRange) {
  CIpAddressEdit field;
  QTest::keyClicks(&field.Part(0), QStringLiteral("300"));
  EXPECT_EQ(field.Part(0).text(), QStringLiteral("30"));
  QTest::keyClicks(&field.Part(1), QStringLiteral("25x5"));
  EXPECT_EQ(field.Part(1).text(), QStringLiteral("255"));
  QTest::keyClicks(&field.Part(2), QStringLiteral("256"));
  EXPECT_EQ(field.Part(2).text(), QStringLiteral("25"));
  EXPECT_EQ(field.GetAddress(), (30u << 24) | (255u << 16) | (25u << 8));
}

TEST(BoxSettingsEncodingTest, FirstPartGoesToTheLeastSignificantByte) {
  EXPECT_EQ(StoredValueOf(0xC0A8010Au), 167880896u);  // 192.168.1.10
  EXPECT_EQ(ControlAddressOf(167880896u), 0xC0A8010Au);
  EXPECT_EQ(StoredValueOf(0x0A000007u), 0x0700000Au);
  EXPECT_EQ(StoredValueOf(0), 0u);
}

}  // namespace
}  // namespace tessamer
