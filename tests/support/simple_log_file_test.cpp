#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/simple_log_file.h"

namespace tessamer {
namespace {

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (std::filesystem::temp_directory_path() /
            ("tessamer-log-test-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt"))
               .string();
    std::filesystem::remove(path);
  }
  void TearDown() override { std::filesystem::remove(path); }

  std::string Contents() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string path;
};

TEST_F(LogFileTest, WritesNothingWhileClosed) {
  CSimpleLogFile log;
  log.WriteLine(L"lost");
  log.Printf(L"lost %d", 1);
  log.WriteBanner(L"lost");
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LogFileTest, StampedLineEndsInCarriageReturnLineFeed) {
  CSimpleLogFile log;
  ASSERT_TRUE(log.Open(path));
  log.WriteLine(L"Stop called");
  EXPECT_TRUE(std::regex_match(Contents(), std::regex(R"(\d\d:\d\d:\d\d\|Stop called\r\n)")));
}

TEST_F(LogFileTest, PrefixAndUnstampedLines) {
  CSimpleLogFile log(false);
  ASSERT_TRUE(log.Open(path));
  log.SetPrefix(L"box 1: ");
  log.WriteLine(L"connected");
  EXPECT_EQ(Contents(), "box 1: connected\r\n");
}

TEST_F(LogFileTest, PrintfFormatsAndFallsBackToTheFormatText) {
  CSimpleLogFile log;
  ASSERT_TRUE(log.Open(path));
  log.Printf(L"Device is capable of reconnecting. Current disconnect count: %d", 3);
  log.Printf(L"");
  log.Printf(L"%ls", L"");
  const std::string text = Contents();
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(^\d\d:\d\d:\d\d\|Device is capable of reconnecting\. Current disconnect count: 3\r\n)")));
  // Empty results write the format itself, without a stamp, then "\r\n".
  EXPECT_NE(text.find("\r\n\r\n%ls\r\n"), std::string::npos) << text;
}

TEST_F(LogFileTest, PrintfCutsAVeryLongResult) {
  CSimpleLogFile log(false);
  ASSERT_TRUE(log.Open(path));
  const std::wstring longText(40000, L'x');
  log.Printf(L"%ls", longText.c_str());
  EXPECT_EQ(Contents(), std::string(16383, 'x') + "\r\n");
}

TEST_F(LogFileTest, BannerComesWithVersionAndGivenText) {
  CSimpleLogFile log;
  ASSERT_TRUE(log.Open(path));
  log.WriteBanner(L"hello\r\n");
  const std::string text = Contents();
  EXPECT_EQ(text.rfind("******************************************************\r\nOpened At: ", 0), 0u);
  EXPECT_NE(text.find("\r\n\r\nVersion: 1.0.0\r\n***"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 7), "hello\r\n");
}

TEST_F(LogFileTest, RecordsHexAndRaw) {
  CSimpleLogFile log;
  ASSERT_TRUE(log.Open(path));
  const unsigned char bytes[] = {0x0A, 0xFF, 0x00};
  log.WriteHex(bytes, sizeof bytes);
  log.WriteRaw(L"raw");
  EXPECT_TRUE(std::regex_match(Contents(), std::regex(R"(\d\d:\d\d:\d\d,0A FF 00 \r\nraw)")));
  EXPECT_EQ(log.DefaultExtension(), L"txt");
}

TEST_F(LogFileTest, LinesOfConcurrentWritersNeverInterleave) {
  CSimpleLogFile log(false);
  ASSERT_TRUE(log.Open(path));
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      const std::wstring body(200, static_cast<wchar_t>(L'a' + t));
      for (int i = 0; i < kLines; ++i) {
        if (i % 3 == 0) {
          log.WriteLine(body);
        } else if (i % 3 == 1) {
          log.Printf(L"%ls", body.c_str());
        } else {
          log.WriteRecord(body);  // stamped "hh:mm:ss," whatever the log's own stamping
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  std::istringstream lines(Contents());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.size() == 210u && line[8] == ',') line.erase(0, 9);
    ASSERT_EQ(line.size(), 201u);
    EXPECT_EQ(line.back(), '\r');
    EXPECT_EQ(line.find_first_not_of(line[0]), 200u) << "mixed line";
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LogFileTest, OpenFailureIsRecorded) {
  CSimpleLogFile log;
  EXPECT_FALSE(log.Open("/nonexistent-folder/for/sure/log.txt"));
  EXPECT_TRUE(log.LastError().failed);
  EXPECT_FALSE(log.IsOpen());
}

}  // namespace
}  // namespace tessamer
