#pragma once
// The about box: the application icon, the version and build lines and an "OK" button.
//
// Threads: window thread only.

#include <QDialog>
#include <QLabel>

namespace tessamer {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  QString VersionLine() const { return versionLine->text(); }
  QString BuildLine() const { return buildLine->text(); }

 private:
  void OnInitDialog();

  QLabel* versionLine = nullptr;
  QLabel* buildLine = nullptr;
};

// The application's icon, drawn once: a green lamp.
QIcon ApplicationIcon();

}  // namespace tessamer
