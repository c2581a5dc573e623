// Lamps, the traffic indicator and the status bar's geometry.

#include "app/led_control.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

#include "app/download_indicator.h"
#include "app/indicator_status_bar.h"

namespace tessamer {
namespace {

using Pair = std::pair<QColor, QColor>;

QWidget* Placeholder(QWidget& parent, int id, QRect rect) {
  auto* label = new QLabel(QStringLiteral("Static"), &parent);
  label->setGeometry(rect);
  SetControlId(label, id);
  return label;
}

TEST(LedControlTest, PlaceholdersBecomeSquareLampsAtTheirCorner) {
  QWidget parent;
  parent.resize(200, 200);
  Placeholder(parent, 1200, QRect(5, 7, 30, 20));
  Placeholder(parent, 1201, QRect(50, 60, 20, 30));
  CLedControl wide;
  CLedControl tall;
  ASSERT_TRUE(wide.CreateInPlaceOf(&parent, 1200));
  ASSERT_TRUE(tall.CreateInPlaceOf(&parent, 1201));
  EXPECT_EQ(wide.geometry(), QRect(5, 7, 21, 21));
  EXPECT_EQ(tall.geometry(), QRect(50, 60, 21, 21));
  EXPECT_EQ(FindControl(&parent, 1200), &wide);
  EXPECT_EQ(parent.findChildren<QLabel*>().size(), 0);  // the placeholders are gone
  EXPECT_EQ(wide.windowTitle(), QStringLiteral("LED Control"));
}

TEST(LedControlTest, MissingPlaceholderCreatesNothingAndLaterCallsAreHarmless) {
  QWidget parent;
  Placeholder(parent, 1200, QRect(0, 0, 10, 10));
  CLedControl lamp;
  EXPECT_FALSE(lamp.CreateInPlaceOf(&parent, 1299));
  EXPECT_FALSE(lamp.HasWindow());
  EXPECT_EQ(lamp.parentWidget(), nullptr);
  EXPECT_NE(FindControl(&parent, 1200), nullptr);
  lamp.SetState(CLedControl::Green);
  lamp.Flicker();
  EXPECT_EQ(lamp.GetState(), CLedControl::Green);
  EXPECT_EQ(lamp.Phase(), 2);
}

TEST(LedControlTest, StatesHaveTheirColourPairs) {
  CLedControl lamp;
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(169, 169, 169), QColor(128, 128, 128)));
  lamp.SetState(CLedControl::Green);
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(127, 255, 0), QColor(40, 123, 65)));
  lamp.Flicker();
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(0, 255, 0), QColor(60, 170, 40)));
  lamp.SetState(CLedControl::Red);
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(139, 0, 0), QColor(255, 0, 0)));
  lamp.SetState(CLedControl::Orange);
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(255, 69, 0), QColor(255, 165, 0)));
  // Out of range: the state is kept, the colours are not changed.
  lamp.SetState(7);
  EXPECT_EQ(lamp.GetState(), 7);
  EXPECT_EQ(lamp.DrawnColours(), Pair(QColor(255, 69, 0), QColor(255, 165, 0)));
}

TEST(LedControlTest, FlickerAlternatesOnlyAGreenLamp) {
  CLedControl lamp;
  for (const int state : {CLedControl::Grey, CLedControl::Red, CLedControl::Orange}) {
    lamp.SetState(state);
    const Pair before = lamp.DrawnColours();
    lamp.Flicker();
    EXPECT_EQ(lamp.DrawnColours(), before) << state;
    lamp.Flicker();
    EXPECT_EQ(lamp.DrawnColours(), before) << state;
  }
  lamp.SetState(CLedControl::Green);
  const Pair pairA = lamp.DrawnColours();
  lamp.Flicker();
  const Pair pairB = lamp.DrawnColours();
  EXPECT_NE(pairA, pairB);
  lamp.Flicker();
  EXPECT_EQ(lamp.DrawnColours(), pairA);
  lamp.Flicker();
  EXPECT_EQ(lamp.DrawnColours(), pairB);
  lamp.SetState(CLedControl::Green);
  EXPECT_EQ(lamp.Phase(), 0);
  EXPECT_EQ(lamp.DrawnColours(), pairA);
}

TEST(LedControlTest, DrawsAnAntialiasedGradientEllipse) {
  QWidget parent;
  parent.resize(100, 100);
  Placeholder(parent, 1200, QRect(0, 0, 40, 40));
  CLedControl lamp;
  ASSERT_TRUE(lamp.CreateInPlaceOf(&parent, 1200));
  lamp.SetState(CLedControl::Green);
  const QImage green = lamp.grab().toImage();
  const QColor centre = green.pixelColor(green.width() / 2, green.height() / 2);
  EXPECT_GT(centre.green(), 100);
  EXPECT_LT(centre.red(), centre.green());
  EXPECT_LT(centre.blue(), centre.green());
  // Top-left of the ellipse is lighter than its bottom-right: the gradient runs diagonally.
  const QColor upper = green.pixelColor(green.width() / 3, green.height() / 3);
  const QColor lower = green.pixelColor(green.width() * 2 / 3, green.height() * 2 / 3);
  EXPECT_GT(upper.green(), lower.green());
  // Corners lie outside the ellipse: background, not lamp colour.
  EXPECT_EQ(green.pixelColor(0, 0), lamp.palette().color(QPalette::Button));
  // The edge is blended with the background: along a row that crosses it at a slant, the first
  // pixel that is not background lies between the background and the lamp's inside.
  const QColor background = lamp.palette().color(QPalette::Button);
  const int y = green.height() / 5;
  int x = 0;
  while (x < green.width() && green.pixelColor(x, y) == background) ++x;
  ASSERT_LT(x + 3, green.width());
  EXPECT_GT(green.pixelColor(x, y).red(), green.pixelColor(x + 3, y).red() + 15);
  lamp.SetState(CLedControl::Red);
  const QImage red = lamp.grab().toImage();
  const QColor redCentre = red.pixelColor(red.width() / 2, red.height() / 2);
  EXPECT_GT(redCentre.red(), 150);
  EXPECT_LT(redCentre.green(), 50);
}

TEST(DownloadIndicatorTest, BlinkSwapsGreensUnlessSteady) {
  CDownloadIndicator indicator;
  EXPECT_EQ(indicator.TopColour(), kIndicatorRed);
  EXPECT_EQ(indicator.BottomColour(), kIndicatorPink);
  EXPECT_TRUE(indicator.IsSteady());
  indicator.Blink();
  EXPECT_EQ(indicator.TopColour(), kIndicatorRed);
  EXPECT_EQ(indicator.BottomColour(), kIndicatorPink);

  indicator.SetColours(kIndicatorRed, kIndicatorPink, false);
  indicator.Blink();
  EXPECT_EQ(indicator.TopColour(), kChartreuse);
  EXPECT_EQ(indicator.BottomColour(), kDarkGreen);
  indicator.Blink();
  EXPECT_EQ(indicator.TopColour(), kDarkGreen);
  EXPECT_EQ(indicator.BottomColour(), kChartreuse);
  indicator.Blink();
  EXPECT_EQ(indicator.TopColour(), kChartreuse);
}

TEST(DownloadIndicatorTest, DrawsAVerticalGradientInsideItsFrame) {
  CDownloadIndicator indicator;
  indicator.resize(30, 40);
  indicator.SetColours(kChartreuse, kDarkGreen, false);
  const QImage image = indicator.grab().toImage();
  const QColor top = image.pixelColor(15, 4);
  const QColor bottom = image.pixelColor(15, 35);
  EXPECT_GT(top.green(), bottom.green() + 60);
  EXPECT_EQ(image.pixelColor(5, 20), image.pixelColor(25, 20));  // nothing changes across
}

TEST(ScaleForDpiTest, ScalesWithNearestRounding) {
  EXPECT_EQ(ScaleForDpi(130, 96), 130);
  EXPECT_EQ(ScaleForDpi(30, 96), 30);
  EXPECT_EQ(ScaleForDpi(130, 144), 195);
  EXPECT_EQ(ScaleForDpi(30, 144), 45);
  EXPECT_EQ(ScaleForDpi(30, 120), 38);   // 37.5 rounds up
  EXPECT_EQ(ScaleForDpi(-30, 120), -38);  // halves away from zero
  EXPECT_EQ(ScaleForDpi(10, 100), 10);   // 104 percent: 10.4
}

TEST(IndicatorStatusBarTest, PanesEndBeforeTheRightEdgeScaledForTheResolution) {
  CIndicatorStatusBar at96(nullptr, 96);
  at96.resize(600, 24);
  at96.show();
  EXPECT_EQ(at96.PaneEnd(0), 600 - 130);
  EXPECT_EQ(at96.PaneEnd(1), 600 - 30);
  EXPECT_EQ(at96.Indicator().geometry().left(), 570);
  EXPECT_EQ(at96.Indicator().geometry().right(), 599);

  CIndicatorStatusBar at144(nullptr, 144);
  at144.resize(800, 30);
  EXPECT_EQ(at144.PaneEnd(0), 800 - 195);
  EXPECT_EQ(at144.PaneEnd(1), 800 - 45);
  EXPECT_EQ(at144.PaneText(0), QStringLiteral("Running..."));
  EXPECT_EQ(at144.PaneText(1), QStringLiteral("5000"));
}

}  // namespace
}  // namespace tessamer
