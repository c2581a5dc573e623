#include "app/download_indicator.h"

#include <QLinearGradient>
#include <QPainter>
#include <qdrawutil.h>

namespace tessamer {

CDownloadIndicator::CDownloadIndicator(QWidget* parent)
    : QWidget(parent), topColour(kIndicatorRed), bottomColour(kIndicatorPink) {
  setAutoFillBackground(false);
}

void CDownloadIndicator::SetColours(QColor top, QColor bottom, bool isSteady) {
  topColour = top;
  bottomColour = bottom;
  steady = isSteady;
}

void CDownloadIndicator::Blink() {
  if (steady) return;
  if (topColour == kChartreuse) {
    topColour = kDarkGreen;
    bottomColour = kChartreuse;
  } else {
    topColour = kChartreuse;
    bottomColour = kDarkGreen;
  }
}

void CDownloadIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  // The etched edge: a sunken line beside a raised one, in the palette's shades.
  constexpr int edge = 2;
  qDrawShadeRect(&painter, rect(), palette(), true, 1, 0);
  const QRect inner = rect().adjusted(edge, edge, -edge, -edge);
  if (inner.isEmpty()) return;
  QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
  gradient.setColorAt(0.0, topColour);
  gradient.setColorAt(1.0, bottomColour);
  painter.fillRect(inner, gradient);
}

}  // namespace tessamer
