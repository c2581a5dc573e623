#pragma once
// The uplink's thread: it waits in poll() on its client's socket and on a wake-up pipe, runs
// the tasks posted to it in order, and tells the client when the socket is ready or the
// client's deadline has come, until the client is done.
//
//   any thread ── Post(task) ──► tasks + one byte into the pipe ─┐
//   broker socket (the client's, changing with each connection) ─┼─► poll ─► tasks, OnReady,
//   the client's Deadline() ─────────────────────── time-out ────┘           OnTime
//
// poll() is level-triggered: a socket that still holds data (or a TLS record half read) is
// reported again at the next wait, so nothing the client's library left unread is missed.
// POSIX only, as the uplink is.
//
// Threads: Post from any thread; the client's operations on the loop's thread alone; Start and
// Join on the owner's thread. `lock` guards the tasks.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessamer {

class IPollClient {
 public:
  virtual ~IPollClient() = default;
  virtual int Socket() const = 0;  // -1: none now
  virtual bool WantWrite() const = 0;
  virtual std::optional<std::chrono::steady_clock::time_point> Deadline() const = 0;
  virtual void OnReady(bool readable, bool writable) = 0;
  virtual void OnTime() = 0;  // the deadline has come (or passed)
  virtual bool Done() const = 0;
};

class CPollLoop {
 public:
  // `client` must outlive the thread (Join).
  explicit CPollLoop(IPollClient& client) : client(client) {}
  ~CPollLoop();  // joins; the client must be done, or become done through a task posted before
  CPollLoop(const CPollLoop&) = delete;
  CPollLoop& operator=(const CPollLoop&) = delete;

  // Makes the pipe and starts the thread. False with `error` when the pipe cannot be made.
  bool Start(std::string& error);
  void Post(std::function<void()> task);
  // Waits for the thread to end (the client done).
  void Join();

 private:
  void Run();
  void Wait();
  void RunTasks();

  IPollClient& client;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::mutex lock;
  std::vector<std::function<void()>> tasks;  // guarded by lock
  bool woken = false;                        // guarded by lock: a byte is in the pipe
  std::thread thread;
};

}  // namespace tessamer
