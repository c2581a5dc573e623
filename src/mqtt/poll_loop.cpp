#include "mqtt/poll_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessamer {
namespace {

constexpr int kLongestWaitMs = 60000;
constexpr const char* kThreadName = "mqtt-uplink";  // at most 15 characters  // poll's wait without a deadline (tasks wake it anyway)

int WaitMs(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!deadline) return kLongestWaitMs;
  using namespace std::chrono;
  const auto left = ceil<milliseconds>(*deadline - steady_clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, kLongestWaitMs));
}

}  // namespace

CPollLoop::~CPollLoop() {
  Join();
  if (wakeRead >= 0) close(wakeRead);
  if (wakeWrite >= 0) close(wakeWrite);
}

bool CPollLoop::Start(std::string& error) {
  int ends[2];
  if (pipe(ends) != 0) {
    error = std::string("no wake-up pipe: ") + std::strerror(errno);
    return false;
  }
  wakeRead = ends[0];
  wakeWrite = ends[1];
  for (int end : ends) {
    fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  thread = std::thread([this] { Run(); });
  return true;
}

void CPollLoop::Post(std::function<void()> task) {
  std::lock_guard guard(lock);
  tasks.push_back(std::move(task));
  if (woken) return;
  woken = true;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(wakeWrite, &byte, 1);
}

void CPollLoop::Join() {
  if (thread.joinable()) thread.join();
}

void CPollLoop::Run() {
  pthread_setname_np(pthread_self(), kThreadName);  // as ps and top show it
  RunTasks();
  while (!client.Done()) {
    Wait();
    RunTasks();
    if (client.Done()) return;
    const auto deadline = client.Deadline();
    if (deadline && std::chrono::steady_clock::now() >= *deadline) client.OnTime();
  }
}

void CPollLoop::Wait() {
  pollfd fds[2] = {{wakeRead, POLLIN, 0}, {client.Socket(), 0, 0}};
  if (fds[1].fd >= 0) fds[1].events = static_cast<short>(POLLIN | (client.WantWrite() ? POLLOUT : 0));
  const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
  if (poll(fds, count, WaitMs(client.Deadline())) <= 0) return;  // time-out, or EINTR
  if (count == 2 && fds[1].revents != 0) {
    // An error or hang-up is handed on as readable: reading is where the library finds out.
    const bool failed = (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    client.OnReady((fds[1].revents & POLLIN) != 0 || failed, (fds[1].revents & POLLOUT) != 0);
  }
}

void CPollLoop::RunTasks() {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard guard(lock);
    if (woken) {
      char bytes[16];
      while (read(wakeRead, bytes, sizeof bytes) > 0) {
      }
      woken = false;
    }
    ready.swap(tasks);
  }
  for (const auto& task : ready) task();
}

}  // namespace tessamer
