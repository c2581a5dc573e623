#include "app/download_indicator.h"

#include <QLinearGradient>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

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
  // The etched edge, drawn by the style as a sunken-then-raised frame.
  QStyleOptionFrame frame;
  frame.initFrom(this);
  frame.rect = rect();
  frame.lineWidth = 1;
  frame.midLineWidth = 0;
  frame.frameShape = QFrame::StyledPanel;
  frame.state |= QStyle::State_Sunken;
  style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
  const int edge = 2;
  const QRect inner = rect().adjusted(edge, edge, -edge, -edge);
  if (inner.isEmpty()) return;
  QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
  gradient.setColorAt(0.0, topColour);
  gradient.setColorAt(1.0, bottomColour);
  painter.fillRect(inner, gradient);
}

}  // namespace tessamer
