#include "app/window_main.h"

#include <QApplication>
#include <QDialog>

namespace tessamer {

int RunWindow(int& argc, char** argv, const CommandLine&) {
  QApplication application(argc, argv);
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("Tessamer"));
  dialog.exec();
  return 0;
}

}  // namespace tessamer
