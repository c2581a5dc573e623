#include "app/ip_address_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>

namespace tessamer {
namespace {

// One part: empty or 0 to 255 with at most three digits.
const QRegularExpression kPartPattern(QStringLiteral("^(|25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])$"));

const QColor kGreyItalicText(128, 128, 128);

}  // namespace

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 0, 2, 0);
  layout->setSpacing(0);
  auto* validator = new QRegularExpressionValidator(kPartPattern, this);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setBackgroundRole(QPalette::Base);
      layout->addWidget(dot);
    }
    auto* part = new QLineEdit(this);
    part->setFrame(false);
    part->setAlignment(Qt::AlignCenter);
    part->setMaxLength(3);
    part->setValidator(validator);
    part->installEventFilter(this);
    const int index = static_cast<int>(i);
    connect(part, &QLineEdit::textEdited, this, [this, index] { OnPartEdited(index); });
    layout->addWidget(part, 1);
    parts[i] = part;
  }
  setFocusProxy(parts[0]);
}

bool CIpAddressEdit::IsBlank() const {
  for (const QLineEdit* part : parts) {
    if (!part->text().isEmpty()) return false;
  }
  return true;
}

uint32_t CIpAddressEdit::GetAddress() const {
  uint32_t address = 0;
  for (const QLineEdit* part : parts) {
    address = (address << 8) | (part->text().toUInt() & 0xFFu);
  }
  return address;
}

void CIpAddressEdit::SetAddress(uint32_t firstPartMostSignificant) {
  for (size_t i = 0; i < parts.size(); ++i) {
    const uint32_t value = (firstPartMostSignificant >> (8 * (3 - i))) & 0xFFu;
    parts[i]->setText(QString::number(value));
  }
}

QString CIpAddressEdit::Text() const {
  if (IsBlank()) return {};
  QStringList texts;
  for (const QLineEdit* part : parts) texts << part->text();
  return texts.join(QLatin1Char('.'));
}

void CIpAddressEdit::SetText(const QString& text) {
  const QStringList pieces = text.split(QLatin1Char('.'));
  bool valid = pieces.size() == static_cast<qsizetype>(parts.size());
  for (const QString& piece : pieces) valid = valid && kPartPattern.match(piece).hasMatch();
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i]->setText(valid ? pieces[static_cast<qsizetype>(i)] : QString());
  }
}

void CIpAddressEdit::Clear() {
  for (QLineEdit* part : parts) part->clear();
}

int CIpAddressEdit::IndexOf(const QObject* part) const {
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == part) return static_cast<int>(i);
  }
  return -1;
}

void CIpAddressEdit::OnPartEdited(int index) {
  if (index < 3 && parts[static_cast<size_t>(index)]->text().size() == 3) {
    parts[static_cast<size_t>(index) + 1]->setFocus();
    parts[static_cast<size_t>(index) + 1]->selectAll();
  }
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  const int index = IndexOf(watched);
  if (index < 0 || event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
  const auto* key = static_cast<QKeyEvent*>(event);
  QLineEdit* part = parts[static_cast<size_t>(index)];
  if (key->text() == QStringLiteral(".")) {
    if (index < 3 && !part->text().isEmpty()) {
      parts[static_cast<size_t>(index) + 1]->setFocus();
      parts[static_cast<size_t>(index) + 1]->selectAll();
    }
    return true;
  }
  if (key->key() == Qt::Key_Backspace && index > 0 && part->cursorPosition() == 0 &&
      !part->hasSelectedText()) {
    QLineEdit* previous = parts[static_cast<size_t>(index) - 1];
    previous->setFocus();
    previous->setCursorPosition(previous->text().size());
    return true;
  }
  return QFrame::eventFilter(watched, event);
}

void CIpAddressEdit::SetGreyItalic(bool on) {
  if (on == greyItalic) return;  // refreshed once a second: fonts are not set again for nothing
  greyItalic = on;
  for (QLineEdit* part : parts) {
    QFont font = part->font();
    font.setItalic(on);
    part->setFont(font);
    QPalette colours = part->palette();
    const QPalette normal = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      colours.setColor(group, QPalette::Text,
                       on ? kGreyItalicText : normal.color(group, QPalette::Text));
    }
    part->setPalette(colours);
  }
}

void CIpAddressEdit::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
  }
  QFrame::changeEvent(event);
}

}  // namespace tessamer
