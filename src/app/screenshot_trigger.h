#pragma once
// Takes a picture of the window once it shows live data: presses "Connect", waits until the hub
// has published a few combined records, saves the window as a PNG and closes it. Used to make the
// README's screenshot under a virtual display.
//
// Threads: window thread only.

#include <QObject>
#include <QString>
#include <QTimer>

namespace tessamer {

class CTessamerDlg;

class CScreenshotTrigger : public QObject {
  Q_OBJECT

 public:
  static constexpr int kPublishedBeforePicture = 4;   // combined records seen before the picture
  static constexpr int kGiveUpAfterMs = 30000;        // no data by then: close without a picture

  CScreenshotTrigger(CTessamerDlg& window, QString file);

  // True once the picture has been saved.
  bool Saved() const { return saved; }

 private:
  void OnNotice(unsigned message);
  void TakePicture();

  CTessamerDlg& window;
  QString file;
  QTimer giveUp;
  int published = 0;
  bool saved = false;
};

}  // namespace tessamer
