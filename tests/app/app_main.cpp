// The window tests' own main: an offscreen Qt application, settings kept in a temporary folder.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdlib>

int main(int argc, char** argv) {
  // Test discovery runs this program at build time without the test environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  QStandardPaths::setTestModeEnabled(true);
  QApplication application(argc, argv);
  QTemporaryDir settingsFolder;
  if (!settingsFolder.isValid()) return 1;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsFolder.path());
  return RUN_ALL_TESTS();
}
