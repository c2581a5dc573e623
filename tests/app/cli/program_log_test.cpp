// Where the program's diagnostic log goes and how it is opened, for the window and the program
// without a window alike.

#include "app/cli/program_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/simple_log_file.h"
#include "testkit/environment.h"

namespace tessamer {
namespace {

namespace fs = std::filesystem;

class ProgramLogTest : public ::testing::Test {
 protected:
  ProgramLogTest()
      : folder(fs::temp_directory_path() /
               ("tessamer-program-log-" + std::to_string(std::random_device{}()))) {}
  ~ProgramLogTest() override {
    DiagnosticLog().Close();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  static std::string Read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  const fs::path folder;
};

TEST_F(ProgramLogTest, OpensTheGivenFileInAFolderMadeForItWithTheBannerFirst) {
  const fs::path file = folder / "new" / "chosen.txt";
  EXPECT_EQ(OpenDiagnosticLog(file.string()), file);
  DiagnosticLog().WriteLine(L"after the banner");
  DiagnosticLog().Close();
  const std::string text = Read(file);
  EXPECT_EQ(text.rfind("*****", 0), 0u) << text.substr(0, 80);
  EXPECT_NE(text.find("Opened At: "), std::string::npos);
  EXPECT_GT(text.find("after the banner"), text.find("Opened At: "));
}

TEST_F(ProgramLogTest, AFileThatCannotBeOpenedLeavesTheLogClosed) {
  fs::create_directories(folder);
  std::ofstream(folder / "plain.txt") << "a file, not a folder";
  EXPECT_TRUE(OpenDiagnosticLog((folder / "plain.txt" / "log.txt").string()).empty());
  EXPECT_FALSE(DiagnosticLog().IsOpen());
}

TEST_F(ProgramLogTest, DefaultFileLivesInTheCompanysFolderOfTheApplicationData) {
  const testkit::ScopedEnvironment data("XDG_DATA_HOME", folder.string());
  const testkit::ScopedEnvironment appData("APPDATA", folder.string());  // Windows
  const fs::path expected = folder / "Vellumetric Systems" / "Tessamer" / "tessamer-log.txt";
  EXPECT_EQ(DefaultLogPath(), expected);
  EXPECT_EQ(OpenDiagnosticLog(""), expected);
  EXPECT_TRUE(fs::exists(expected));
}

}  // namespace
}  // namespace tessamer
