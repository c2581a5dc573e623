#pragma once
// An IPv4 address field that behaves like the platform's address control: four parts of 0 to 255,
// each may be left empty, read back as one 32-bit address with the first part most significant.
// Typing '.' or a third digit moves on to the next part.
//
// Threads: window thread only.

#include <QFrame>
#include <QLineEdit>
#include <array>
#include <cstdint>

namespace tessamer {

class CIpAddressEdit : public QFrame {
  Q_OBJECT

 public:
  explicit CIpAddressEdit(QWidget* parent = nullptr);

  // True when every part is empty.
  bool IsBlank() const;
  // The address with the first part in the most significant byte; empty parts read as 0.
  uint32_t GetAddress() const;
  void SetAddress(uint32_t firstPartMostSignificant);
  // "a.b.c.d" with empty parts left empty; "" when blank.
  QString Text() const;
  // Accepts "a.b.c.d" (parts 0-255 or empty); anything else, and "", empties the field.
  void SetText(const QString& text);
  void Clear();
  // Grey italic text (the row's box has fallen silent), or the normal text again.
  void SetGreyItalic(bool on);
  bool IsGreyItalic() const { return greyItalic; }

  QLineEdit& Part(int index) { return *parts[static_cast<size_t>(index)]; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int IndexOf(const QObject* part) const;
  void OnPartEdited(int index);

  std::array<QLineEdit*, 4> parts{};
  bool greyItalic = false;
};

}  // namespace tessamer
