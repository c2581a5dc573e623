#include "e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tessamer::testkit {

namespace {
using Clock = std::chrono::steady_clock;
}

ChildProcess::~ChildProcess() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (output >= 0) close(output);
  if (input >= 0) close(input);
  if (!errorFile.empty()) unlink(errorFile.c_str());
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment) {
  int out[2];
  int in[2];
  if (pipe(out) != 0) return false;
  if (pipe(in) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  char errorTemplate[] = "/tmp/tessamer-child-XXXXXX";
  const int errorFd = mkstemp(errorTemplate);
  errorFile = errorTemplate;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (errorFd >= 0) posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // The child gets its three standard streams and nothing else of the test's: no listening socket
  // of a fake box, no pipe of another child (Asio opens its sockets without close-on-exec).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int result = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (errorFd >= 0) close(errorFd);
  output = out[0];
  input = in[1];
  fcntl(input, F_SETFD, FD_CLOEXEC);
  fcntl(output, F_SETFD, FD_CLOEXEC);
  if (result != 0) {
    pid = -1;
    return false;
  }
  return true;
}

bool ChildProcess::ReadMore(Clock::time_point deadline) {
  if (ended) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  pollfd p{output, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t n = read(output, chunk, sizeof chunk);
  if (n <= 0) {
    ended = true;
    return false;
  }
  pending.append(chunk, static_cast<size_t>(n));
  for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
    lines.push_back(pending.substr(0, end));
    pending.erase(0, end + 1);
  }
  return true;
}

bool ChildProcess::WaitForLine(const std::function<bool(const std::string&)>& match, std::string& line,
                               std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    while (taken < lines.size()) {
      const std::string& candidate = lines[taken++];
      if (match(candidate)) {
        line = candidate;
        return true;
      }
    }
    if (!ReadMore(deadline)) return false;
  }
}

bool ChildProcess::WaitForPrefix(const std::string& prefix, std::string& line, std::chrono::milliseconds timeout) {
  return WaitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, line, timeout);
}

bool ChildProcess::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  return write(input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::Signal(int signal) {
  if (pid > 0) kill(pid, signal);
}

bool ChildProcess::WaitExit(int& exitStatus, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ended) {
    if (!ReadMore(deadline) && !ended) return false;
  }
  if (!pending.empty()) {
    lines.push_back(pending);
    pending.clear();
  }
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return false;
  pid = -1;
  exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::string ChildProcess::ErrorText() const {
  std::ifstream file(errorFile);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace tessamer::testkit
