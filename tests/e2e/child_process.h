#pragma once
// A program run as a child process by a test: its standard output read line by line with a
// bound on every wait, its standard error kept in a file, signals and its exit status.
// POSIX only (posix_spawn, pipes, poll); the one place the tests touch process control.

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessamer::testkit {

using namespace std::chrono_literals;

class ChildProcess {
 public:
  ChildProcess() = default;
  // Kills a child that is still running and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with the test's environment and `environment` ("NAME=value") added to it.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& environment = {});
  // Reads output lines (without line ends) until one satisfies `match`; every line read is kept.
  bool WaitForLine(const std::function<bool(const std::string&)>& match, std::string& line,
                   std::chrono::milliseconds timeout = 10s);
  // Waits for a line that begins with `prefix`.
  bool WaitForPrefix(const std::string& prefix, std::string& line, std::chrono::milliseconds timeout = 10s);
  bool WriteLine(const std::string& line);  // to the child's standard input
  void Signal(int signal);
  // Reads the output to its end and reaps the child. False when it has not ended within
  // `timeout`.
  bool WaitExit(int& exitStatus, std::chrono::milliseconds timeout = 10s);
  const std::vector<std::string>& Lines() const { return lines; }
  pid_t Pid() const { return pid; }  // -1 when no child runs
  std::string ErrorText() const;  // what the child wrote to standard error so far

 private:
  bool ReadMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid = -1;
  int output = -1;  // read end of the child's standard output
  int input = -1;   // write end of the child's standard input
  std::string errorFile;
  std::string pending;  // output received after the last complete line
  std::vector<std::string> lines;
  size_t taken = 0;  // lines already handed to WaitForLine
  bool ended = false;
};

}  // namespace tessamer::testkit
