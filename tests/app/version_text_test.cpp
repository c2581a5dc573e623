// Version and build texts, and the about box that shows them.

#include "app/version_text.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "app/about_dlg.h"
#include "version.h"

namespace tessamer {
namespace {

TEST(VersionTextTest, ShowsMajorMinorAndBuildOfTheProductVersion) {
  EXPECT_EQ(VersionText(ProductVersion{2, 3, 5, 7}), QStringLiteral("2.3.5"));
  EXPECT_EQ(VersionText(std::nullopt), QStringLiteral("x.x"));
  EXPECT_EQ(ReadVersionText(), QString::fromLatin1(kVersionText));
}

TEST(VersionTextTest, MonthNamesAreExact) {
  EXPECT_EQ(MonthNumber("Jan"), 1);
  EXPECT_EQ(MonthNumber("Dec"), 12);
  EXPECT_EQ(MonthNumber("jul"), 0);
  EXPECT_EQ(MonthNumber("July"), 0);
  EXPECT_EQ(MonthNumber(""), 0);
}

TEST(VersionTextTest, BuildStampFromCompilerDateAndTime) {
  EXPECT_EQ(BuildStampText("Jul 14 2024", "09:26:53"), QStringLiteral("Build: 0714.0926"));
  // A one-digit day comes with two blanks before it.
  EXPECT_EQ(BuildStampText("Jan  5 2025", "07:08:09"), QStringLiteral("Build: 0105.0708"));
  EXPECT_EQ(BuildStampText("Dec 31 1999", "23:59:59"), QStringLiteral("Build: 1231.2359"));
  // Unreadable pieces count as 0 rather than failing.
  EXPECT_EQ(BuildStampText("Foo 3 2024", "1"), QStringLiteral("Build: 0003.0100"));
  EXPECT_EQ(BuildStampText("", ""), QStringLiteral("Build: 0000.0000"));
}

TEST(AboutDlgTest, ShowsTheVersionAndBuildLines) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Tessamer"));
  EXPECT_EQ(about.VersionLine(), QStringLiteral("Tessamer Version ") + ReadVersionText());
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^Build: (0[1-9]|1[0-2])[0-3][0-9]\\.[0-2][0-9][0-5][0-9]$"))
                  .match(about.BuildLine())
                  .hasMatch())
      << about.BuildLine().toStdString();
  EXPECT_EQ(about.BuildLine(), BuildStampText());
}

}  // namespace
}  // namespace tessamer
