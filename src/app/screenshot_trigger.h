#pragma once
// Takes pictures of the windows once they show live data: presses "Connect", waits until the hub
// has published a few combined records, saves the operator window as a PNG; when asked, then
// opens "Boxes and viewers" and "Live data", lets them gather data for a while, saves them too,
// and closes. Used to make the README's screenshots under a virtual display.
//
// Threads: window thread only.

#include <QObject>
#include <QString>
#include <QTimer>

namespace tessamer {

class CTessamerDlg;

// Where the pictures go; an empty name takes no picture of that window.
struct ScreenshotFiles {
  static constexpr int kDefaultViewSeconds = 20;
  QString window;    // the operator window
  QString boxes;     // "Boxes and viewers"
  QString liveData;  // "Live data"
  int viewSeconds = kDefaultViewSeconds;  // how long the two views gather data first

  bool Any() const { return !window.isEmpty() || !boxes.isEmpty() || !liveData.isEmpty(); }
};

class CScreenshotTrigger : public QObject {
  Q_OBJECT

 public:
  static constexpr int kPublishedBeforePicture = 4;   // combined records seen before the picture
  static constexpr int kGiveUpAfterMs = 30000;        // no data by then: close without a picture

  CScreenshotTrigger(CTessamerDlg& window, ScreenshotFiles files);

  // True once every picture asked for has been saved.
  bool Saved() const { return saved; }

 private:
  void OnNotice(unsigned message);
  void TakeWindowPicture();
  void TakeViewPictures();
  bool Save(QWidget& widget, const QString& file);

  CTessamerDlg& window;
  ScreenshotFiles files;
  QTimer giveUp;
  QTimer viewsReady;
  int published = 0;
  bool started = false;  // the pictures have begun
  bool saved = false;
};

}  // namespace tessamer
