#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "support/ipv4_text.h"
#include "support/number_text.h"
#include "support/text.h"

namespace tessamer {
namespace {

TEST(Text, NarrowBytesWidenToTheSameCodePoints) {
  const std::string bytes = std::string("A\xB0\xFF", 3) + std::string(1, '\0') + "z";
  const std::wstring wide = Widen(bytes);
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_EQ(wide[0], L'A');
  EXPECT_EQ(wide[1], static_cast<wchar_t>(0xB0));
  EXPECT_EQ(wide[2], static_cast<wchar_t>(0xFF));
  EXPECT_EQ(wide[3], L'\0');
  EXPECT_EQ(Narrow(wide), bytes);
}

TEST(Text, WideBeyondLatin1NarrowsToQuestionMark) {
  EXPECT_EQ(Narrow(L"a\u20ACb\u0100"), "a?b?");
}

class NumberText : public ::testing::Test {
 protected:
  void SetUp() override {
    // Prove the conversions ignore a comma-decimal process locale when one is available.
    commaLocale = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
  bool commaLocale = false;
};

TEST_F(NumberText, FixedTextIsLikeTheCLocalePrintf) {
  EXPECT_EQ(FormatFixed(1.5, 4), "1.5000");
  EXPECT_EQ(FormatFixed(-0.125, 2), "-0.12");  // round half to even, as printf does
  EXPECT_EQ(FormatFixed(2.675, 2), "2.67");    // the binary value is below 2.675
  EXPECT_EQ(FormatFixed(1e20, 0), "100000000000000000000");
  EXPECT_EQ(FormatFixed(0.0, 4), "0.0000");
  EXPECT_EQ(FormatFixed(std::numeric_limits<double>::infinity(), 4), "inf");
  std::string text = "x=";
  AppendInt(text, -42);
  EXPECT_EQ(text, "x=-42");
  if (!commaLocale) GTEST_SKIP() << "de_DE.UTF-8 not generated; the C locale checks passed";
}

TEST_F(NumberText, ParseDoubleReadsLikeTheCLocaleStrtod) {
  double value = -1;
  EXPECT_EQ(ParseDouble(" 1.5,rest", value), 4u);
  EXPECT_DOUBLE_EQ(value, 1.5);
  EXPECT_EQ(ParseDouble("+2.25e1", value), 7u);
  EXPECT_DOUBLE_EQ(value, 22.5);
  EXPECT_EQ(ParseDouble("-.5", value), 3u);
  EXPECT_DOUBLE_EQ(value, -0.5);
  value = 7;
  EXPECT_EQ(ParseDouble("abc", value), 0u);
  EXPECT_EQ(ParseDouble("", value), 0u);
  EXPECT_EQ(ParseDouble("+-1", value), 0u);
  EXPECT_DOUBLE_EQ(value, 7);
}

TEST_F(NumberText, ParseDoubleSaturatesHugeAndTinyNumbers) {
  const std::string huge = "9" + std::string(400, '9');
  double value = 0;
  EXPECT_EQ(ParseDouble(huge, value), huge.size());
  EXPECT_TRUE(std::isinf(value));
  EXPECT_EQ(ParseDouble("-1e999", value), 6u);
  EXPECT_TRUE(std::isinf(value) && value < 0);
  EXPECT_EQ(ParseDouble("1e-999", value), 6u);
  EXPECT_EQ(value, 0.0);
}

TEST_F(NumberText, ParseIntReadsTheLeadingIntegerAndSaturates) {
  int64_t value = 0;
  EXPECT_EQ(ParseInt("  -17x", value), 5u);
  EXPECT_EQ(value, -17);
  EXPECT_EQ(ParseInt("12.9", value), 2u);
  EXPECT_EQ(value, 12);
  EXPECT_EQ(ParseInt("x12", value), 0u);
  EXPECT_EQ(ParseInt("-", value), 0u);
  const std::string huge(300, '9');
  EXPECT_EQ(ParseInt(huge, value), huge.size());
  EXPECT_EQ(value, std::numeric_limits<int64_t>::max());
}

}  // namespace
TEST(Ipv4Text, ReadsStrictDottedQuadsAndWritesThemBack) {
  EXPECT_EQ(ParseIpv4("10.0.0.5"), std::optional<uint32_t>(0x0A000005u));
  EXPECT_EQ(ParseIpv4("255.255.255.255"), std::optional<uint32_t>(0xFFFFFFFFu));
  EXPECT_EQ(Ipv4Text(0xC0A8010Au), "192.168.1.10");
  EXPECT_EQ(Ipv4Text(*ParseIpv4("0.0.0.0")), "0.0.0.0");
  for (const char* bad : {"", "10.0.0", "10.0.0.5.", "10.0.0.256", "10..0.5", " 10.0.0.5",
                          "10.0.0.5 ", "+1.0.0.5", "1.0.0.0005", "a.b.c.d", "10.0.0.-1"}) {
    EXPECT_FALSE(ParseIpv4(bad).has_value()) << bad;
  }
}

}  // namespace tessamer
