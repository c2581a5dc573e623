// The application's start-up pieces that do not need a second application object.

#include "app/tessamer_app.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "support/simple_log_file.h"

namespace tessamer {
namespace {

TEST(DiagnosticLogStartTest, OpensTheGivenFileWithTheBannerFirst) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const std::string file = folder.filePath(QStringLiteral("chosen.txt")).toStdString();
  EXPECT_EQ(OpenDiagnosticLog(file), QString::fromStdString(file));
  DiagnosticLog().WriteLine(L"after the banner");
  DiagnosticLog().Close();

  QFile written(QString::fromStdString(file));
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  const QByteArray text = written.readAll();
  EXPECT_TRUE(text.startsWith("*****")) << text.left(80).toStdString();
  EXPECT_TRUE(text.contains("Opened At: "));
  EXPECT_GT(text.indexOf("after the banner"), text.indexOf("Opened At: "));
}

TEST(DiagnosticLogStartTest, AFileThatCannotBeOpenedLeavesTheLogClosed) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const std::string file = folder.filePath(QStringLiteral("missing/folder/log.txt")).toStdString();
  EXPECT_TRUE(OpenDiagnosticLog(file).isEmpty());
  EXPECT_FALSE(DiagnosticLog().IsOpen());
}

TEST(DiagnosticLogStartTest, DefaultFileLivesInTheApplicationDataFolder) {
  const QString path = DefaultLogPath();
  EXPECT_TRUE(path.endsWith(QStringLiteral("/tessamer-log.txt"))) << path.toStdString();
  EXPECT_TRUE(QFileInfo(path).dir().exists());
}

}  // namespace
}  // namespace tessamer
