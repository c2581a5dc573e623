#pragma once
// A round status lamp: an anti-aliased ellipse filled with a diagonal two-colour gradient. Its
// colour tells the state of one box; each data record of the box makes a green lamp flicker.
//
// Threads: window thread only.

#include <QColor>
#include <QWidget>
#include <array>

namespace tessamer {

class CLedControl : public QWidget {
  Q_OBJECT

 public:
  enum State { Grey = 0, Green = 1, Red = 2, Orange = 3 };

  // A lamp without a window of its own yet: grey, pair A. CreateInPlaceOf gives it its place.
  CLedControl();

  // Replaces `parent`'s child control with identifier `id` (see ControlId) by this lamp, made
  // square from the placeholder's top-left corner. False, and nothing shown, when there is no such
  // control. The parent takes ownership of the lamp's window only as a widget child; whoever
  // created the lamp still owns the object.
  bool CreateInPlaceOf(QWidget* parent, int id);

  // Sets the state's colours and draws pair A. A state outside 0 to 3 is kept but leaves the
  // colours as they were.
  void SetState(int state);
  // Switches to the other colour pair and draws at once. Only green has two different pairs.
  void Flicker();

  int GetState() const { return state; }
  int Phase() const { return phase; }
  // The two colours drawn now, from the top-left to the bottom-right.
  std::pair<QColor, QColor> DrawnColours() const;
  bool HasWindow() const { return created; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Draw(QPainter& painter) const;

  int state = Grey;
  std::array<QColor, 4> colours;  // pair A: 0 -> 1, pair B: 2 -> 3
  int phase = 0;                  // 0 draws pair A, 2 draws pair B
  bool created = false;           // CreateInPlaceOf succeeded
};

// Control identifiers of the window's children, kept in their object names.
void SetControlId(QWidget* widget, int id);
int ControlId(const QWidget* widget);
QWidget* FindControl(QWidget* parent, int id);

}  // namespace tessamer
