#include "app/led_control.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPalette>

namespace tessamer {
namespace {

const QString kControlIdPrefix = QStringLiteral("control-");

struct StateColours {
  QColor a0, a1, b0, b1;
};

StateColours ColoursOf(int state) {
  switch (state) {
    case CLedControl::Green:
      return {QColor(127, 255, 0), QColor(40, 123, 65), QColor(0, 255, 0), QColor(60, 170, 40)};
    case CLedControl::Red:
      return {QColor(139, 0, 0), QColor(255, 0, 0), QColor(139, 0, 0), QColor(255, 0, 0)};
    case CLedControl::Orange:
      return {QColor(255, 69, 0), QColor(255, 165, 0), QColor(255, 69, 0), QColor(255, 165, 0)};
    default:
      return {QColor(169, 169, 169), QColor(128, 128, 128), QColor(169, 169, 169),
              QColor(128, 128, 128)};
  }
}

}  // namespace

void SetControlId(QWidget* widget, int id) {
  widget->setObjectName(kControlIdPrefix + QString::number(id));
}

int ControlId(const QWidget* widget) {
  const QString name = widget->objectName();
  return name.startsWith(kControlIdPrefix) ? name.mid(kControlIdPrefix.size()).toInt() : 0;
}

QWidget* FindControl(QWidget* parent, int id) {
  return parent->findChild<QWidget*>(kControlIdPrefix + QString::number(id),
                                     Qt::FindDirectChildrenOnly);
}

CLedControl::CLedControl() {
  colours.fill(QColor(0, 0, 0));
  setWindowTitle(QStringLiteral("LED Control"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetState(Grey);
}

bool CLedControl::CreateInPlaceOf(QWidget* parent, int id) {
  QWidget* placeholder = parent != nullptr ? FindControl(parent, id) : nullptr;
  if (placeholder == nullptr) return false;
  QRect rect = placeholder->geometry();
  delete placeholder;
  // Square from the top-left corner, one pixel more than the shorter side.
  if (rect.height() < rect.width()) {
    rect.setWidth(rect.height() + 1);
    rect.setHeight(rect.height() + 1);
  } else {
    rect.setHeight(rect.width() + 1);
    rect.setWidth(rect.width() + 1);
  }
  setParent(parent);
  SetControlId(this, id);
  setGeometry(rect);
  show();
  created = true;
  return true;
}

void CLedControl::SetState(int newState) {
  phase = 0;
  state = newState;
  if (newState >= Grey && newState <= Orange) {
    const StateColours c = ColoursOf(newState);
    colours = {c.a0, c.a1, c.b0, c.b1};
  }
  if (created) update();
}

void CLedControl::Flicker() {
  phase = (phase + 2) % 4;
  if (created && isVisible()) repaint();
}

std::pair<QColor, QColor> CLedControl::DrawnColours() const {
  return {colours[static_cast<size_t>(phase)], colours[static_cast<size_t>(phase) + 1]};
}

void CLedControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Button));
  Draw(painter);
}

void CLedControl::Draw(QPainter& painter) const {
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF area(0.0, 0.0, width() - 2.0, height() - 2.0);
  // A 45-degree gradient over the drawing rectangle: along its diagonal direction, tiled.
  const qreal side = std::max(area.width(), area.height());
  QLinearGradient gradient(area.topLeft(), area.topLeft() + QPointF(side, side));
  gradient.setSpread(QGradient::RepeatSpread);
  const auto [from, to] = DrawnColours();
  gradient.setColorAt(0.0, from);
  gradient.setColorAt(1.0, to);
  painter.setPen(Qt::NoPen);
  painter.setBrush(gradient);
  painter.drawEllipse(area);
}

}  // namespace tessamer
