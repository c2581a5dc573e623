#include "testkit/log_capture.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "support/simple_log_file.h"

namespace tessamer::testkit {

LogCapture::LogCapture() {
  static std::atomic<int> serial{0};
  path = (std::filesystem::temp_directory_path() /
          ("tessamer-log-" + std::to_string(std::random_device{}()) + "-" + std::to_string(++serial) + ".txt"))
             .string();
  std::remove(path.c_str());
  DiagnosticLog().Open(path);
  reader = std::fopen(path.c_str(), "rb");
}

LogCapture::~LogCapture() {
  DiagnosticLog().Close();
  if (reader != nullptr) std::fclose(reader);
  std::remove(path.c_str());
}

std::string LogCapture::Text() const {
  if (reader != nullptr && std::fseek(reader, 0, SEEK_SET) == 0) {
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, reader)) > 0;) text.append(chunk, n);
    return text;
  }
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool LogCapture::WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) const {
  constexpr std::chrono::milliseconds kReread{5};  // the log has no event to wait on
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Contains(fragment)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kReread);
  }
  return true;
}

size_t LogCapture::Count(const std::string& fragment) const {
  const std::string text = Text();
  size_t count = 0;
  for (size_t at = text.find(fragment); at != npos; at = text.find(fragment, at + 1)) ++count;
  return count;
}

}  // namespace tessamer::testkit
