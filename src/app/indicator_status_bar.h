#pragma once
// The window's status bar: three panes, the third covered by the traffic indicator.
//
// Threads: window thread only. ScaleForDpi may be called from any thread.

#include <QLabel>
#include <QStatusBar>

#include "app/download_indicator.h"

namespace tessamer {

// A length in pixels at 96 dots per inch, scaled to `dotsPerInch` the way the system rounds
// (nearest integer, halves away from zero).
int ScaleForDpi(int length, int dotsPerInch);
// The same for the screen's horizontal resolution, read once for the whole process.
int ScaleForDpi(int length);

class CIndicatorStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  // `dotsPerInch` 0: the screen's resolution.
  explicit CIndicatorStatusBar(QWidget* parent = nullptr, int dotsPerInch = 0);

  // Pane 0 is the status text, pane 1 the data port, pane 2 the indicator.
  void SetPaneText(int pane, const QString& text);
  QString PaneText(int pane) const;
  // Right ends of panes 0 and 1 in the bar's coordinates (exclusive); the bar's width for pane 2.
  int PaneEnd(int pane) const;

  CDownloadIndicator& Indicator() { return indicator; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int Scale(int length) const;
  void PlacePanes();

  int dotsPerInch;  // 0: the screen's
  QLabel* panes[2];
  CDownloadIndicator indicator{this};
};

}  // namespace tessamer
