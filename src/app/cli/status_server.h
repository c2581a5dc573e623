#pragma once
// The status endpoint: a small HTTP server that shows the hub's health to anyone who asks.
//
//   listener thread ──accept──► worker pool (kStatusWorkers) ──GET /status──► snapshot() → HealthJson
//                                                           ──GET /metrics─► snapshot() → HealthMetrics
//                                                           ──anything else─► 404
//
// It listens on one address (127.0.0.1 unless the owner names another) and answers only GET
// /status and GET /metrics. Built on cpp-httplib, which owns the listener and the workers.
//
// Threads: Start and Stop are called on the owner's thread. `snapshot` is called on the workers,
// at any time between Start and the end of Stop, possibly on two workers at once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "hub/core/health.h"

namespace httplib {
class Server;
}

namespace tessamer {

inline constexpr size_t kStatusWorkers = 2;  // requests answered side by side

class CStatusServer {
 public:
  using Snapshot = std::function<HubHealth()>;

  // `snapshot` gives the health to show; it must stay callable until Stop returns.
  explicit CStatusServer(Snapshot snapshot);
  // Stops the server if it is running.
  ~CStatusServer();
  CStatusServer(const CStatusServer&) = delete;
  CStatusServer& operator=(const CStatusServer&) = delete;

  // Binds `address`:`port` (port 0: any free port) and starts answering on a thread of its own.
  // False with a one-line `error` (no line end) naming the address, the port and the reason when
  // it cannot listen there (the port is taken, the address is not this machine's).
  bool Start(const std::string& address, uint16_t port, std::string& error);
  // Stops listening, finishes the requests in progress and joins the threads. Idempotent.
  void Stop();
  uint16_t Port() const { return port; }  // the bound port; 0 before Start succeeded

 private:
  Snapshot snapshot;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  std::atomic<bool> listenEnded{false};  // the listener thread has left its accept loop
  uint16_t port = 0;
};

}  // namespace tessamer
