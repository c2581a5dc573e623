#include "testkit/log_capture.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/simple_log_file.h"

namespace tessamer::testkit {

LogCapture::LogCapture() {
  static std::atomic<int> serial{0};
  path = (std::filesystem::temp_directory_path() /
          ("tessamer-log-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++serial) + ".txt"))
             .string();
  std::remove(path.c_str());
  DiagnosticLog().Open(path);
}

LogCapture::~LogCapture() {
  DiagnosticLog().Close();
  std::remove(path.c_str());
}

std::string LogCapture::Text() const {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t LogCapture::Count(const std::string& fragment) const {
  const std::string text = Text();
  size_t count = 0;
  for (size_t at = text.find(fragment); at != npos; at = text.find(fragment, at + 1)) ++count;
  return count;
}

}  // namespace tessamer::testkit
