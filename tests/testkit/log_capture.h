#pragma once
// Opens the process's diagnostic log on a fresh temporary file for the life of the object, so a
// test can read back the lines the code under test wrote. One at a time per process. The log is
// read through a handle opened with it, so reading needs no new descriptor (a test may read it
// while the process has none left).

#include <chrono>
#include <cstdio>
#include <string>

namespace tessamer::testkit {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written to the log so far (lines end in "\r\n").
  std::string Text() const;
  bool Contains(const std::string& fragment) const { return Text().find(fragment) != npos; }
  size_t Count(const std::string& fragment) const;
  // True once the log holds `fragment`, false when `timeout` passed first.
  bool WaitFor(const std::string& fragment,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  static constexpr size_t npos = std::string::npos;
  std::string path;
  std::FILE* reader = nullptr;  // the log opened for reading; none where that is refused
};

}  // namespace tessamer::testkit
