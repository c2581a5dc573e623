#pragma once
// Opens the process's diagnostic log on a fresh temporary file for the life of the object, so a
// test can read back the lines the code under test wrote. One at a time per process.

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

 private:
  static constexpr size_t npos = std::string::npos;
  std::string path;
};

}  // namespace tessamer::testkit
