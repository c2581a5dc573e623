#pragma once
// The traffic indicator in the status bar: a vertical two-colour gradient in an etched frame. It
// shows whether the servers started, and blinks each time a combined record goes out.
//
// Threads: window thread only.

#include <QColor>
#include <QWidget>

namespace tessamer {

class CDownloadIndicator : public QWidget {
  Q_OBJECT

 public:
  // Red over pink, steady: the look before the servers have started.
  explicit CDownloadIndicator(QWidget* parent = nullptr);

  // `steady`: Blink changes nothing.
  void SetColours(QColor top, QColor bottom, bool steady);
  // Swaps between chartreuse over dark green and dark green over chartreuse, unless steady. The
  // caller repaints.
  void Blink();

  QColor TopColour() const { return topColour; }
  QColor BottomColour() const { return bottomColour; }
  bool IsSteady() const { return steady; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor topColour;
  QColor bottomColour;
  bool steady = true;
};

inline const QColor kChartreuse(127, 255, 0);
inline const QColor kDarkGreen(40, 123, 65);
inline const QColor kIndicatorRed(255, 0, 0);
inline const QColor kIndicatorPink(238, 182, 182);

}  // namespace tessamer
