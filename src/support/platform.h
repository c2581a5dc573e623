#pragma once
// The few facilities where Windows and the POSIX systems differ, behind one small interface: the
// local clock, the user's application-data folder, the console's stop keys and how a listener
// claims its port. platform_windows.cpp and platform_posix.cpp implement it; the build compiles
// the one for its target. Socket error numbers and their texts are in error_numbers.h.

#include <ctime>
#include <filesystem>
#include <functional>

#include <asio/ip/tcp.hpp>

namespace tessamer {

// The local calendar time of `t` (thread-safe, unlike std::localtime).
std::tm LocalTime(std::time_t t);

// Where per-user application data lives: %APPDATA% on Windows, $XDG_DATA_HOME or ~/.local/share
// elsewhere. Empty when the environment names no such folder.
std::filesystem::path UserDataFolder();

// Sets how an opened, not yet bound listener claims its port. Windows: exclusively
// (SO_EXCLUSIVEADDRUSE), so that a second listener on the port is refused with 10048 instead of
// sharing or taking it. Elsewhere: SO_REUSEADDR, so that a restarted program listens again while
// its old connections linger; a port another socket listens on is still refused there.
void ClaimListenPort(asio::ip::tcp::acceptor& acceptor, asio::error_code& error);

// While it lives, Ctrl-C and Ctrl-Break in the console call `stop` (on a thread the system makes
// for it) and the process goes on, as SIGINT does elsewhere. On POSIX systems it installs nothing:
// the terminal's keys raise SIGINT, which the program awaits itself. One instance at a time.
class CConsoleStopKeys {
 public:
  explicit CConsoleStopKeys(std::function<void()> stop);
  ~CConsoleStopKeys();
  CConsoleStopKeys(const CConsoleStopKeys&) = delete;
  CConsoleStopKeys& operator=(const CConsoleStopKeys&) = delete;

 private:
  std::function<void()> stop;
};

}  // namespace tessamer
