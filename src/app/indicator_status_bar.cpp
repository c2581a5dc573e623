#include "app/indicator_status_bar.h"

#include <QGuiApplication>
#include <QScreen>
#include <cstdint>
#include <mutex>

#include "app/app_texts.h"
#include "app/led_control.h"

namespace tessamer {
namespace {

constexpr int kReferenceDpi = 96;
constexpr int kPane0Gap = 130;  // pane 0 ends this far before the right edge, at 96 dpi
constexpr int kPane1Gap = 30;   // pane 1 ends this far before it

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const int64_t product = static_cast<int64_t>(a) * b;
  const int64_t half = (c > 0 ? c : -c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const int64_t magnitude = ((product < 0 ? -product : product) + half) / (c > 0 ? c : -c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

int ScreenDpi() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? static_cast<int>(screen->logicalDotsPerInchX() + 0.5) : kReferenceDpi;
}

}  // namespace

int ScaleForDpi(int length, int dotsPerInch) {
  const int percent = MulDiv(dotsPerInch, 100, kReferenceDpi);
  return MulDiv(length, percent, 100);
}

int ScaleForDpi(int length) {
  static std::once_flag once;
  static int dpi = kReferenceDpi;
  std::call_once(once, [] { dpi = ScreenDpi(); });
  return ScaleForDpi(length, dpi);
}

CIndicatorStatusBar::CIndicatorStatusBar(QWidget* parent, int dotsPerInch)
    : QStatusBar(parent), dotsPerInch(dotsPerInch) {
  setSizeGripEnabled(false);
  const QString texts[2] = {kRunningText, kDataPortPaneText};
  const int ids[2] = {kRunningPaneId, kPortPaneId};
  for (int i = 0; i < 2; ++i) {
    panes[i] = new QLabel(texts[i], this);
    panes[i]->setFrameShape(QFrame::Panel);
    panes[i]->setFrameShadow(QFrame::Sunken);
    SetControlId(panes[i], ids[i]);
  }
  indicator.setToolTip(kConnectedText);
  SetControlId(&indicator, kConnectedPaneId);
  setMinimumHeight(panes[0]->sizeHint().height() + 4);
  PlacePanes();
}

void CIndicatorStatusBar::SetPaneText(int pane, const QString& text) {
  if (pane >= 0 && pane < 2) panes[pane]->setText(text);
}

QString CIndicatorStatusBar::PaneText(int pane) const {
  return pane >= 0 && pane < 2 ? panes[pane]->text() : kConnectedText;
}

int CIndicatorStatusBar::PaneEnd(int pane) const {
  const int right = width();
  const int end0 = std::max(0, right - Scale(kPane0Gap));
  if (pane == 0) return end0;
  return pane == 1 ? std::max(end0, right - Scale(kPane1Gap)) : right;
}

void CIndicatorStatusBar::resizeEvent(QResizeEvent* event) {
  QStatusBar::resizeEvent(event);
  PlacePanes();
}

int CIndicatorStatusBar::Scale(int length) const {
  return dotsPerInch > 0 ? ScaleForDpi(length, dotsPerInch) : ScaleForDpi(length);
}

void CIndicatorStatusBar::PlacePanes() {
  const int right = width();
  const int end0 = PaneEnd(0);
  const int end1 = PaneEnd(1);
  const int top = 2;
  const int height = std::max(0, this->height() - 4);
  panes[0]->setGeometry(0, top, end0, height);
  panes[1]->setGeometry(end0, top, end1 - end0, height);
  indicator.setGeometry(end1, top, std::max(0, right - end1), height);
  indicator.update();
}

}  // namespace tessamer
