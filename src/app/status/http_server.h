#pragma once
// The status endpoint's HTTP/1.1 server: one thread of its own runs one io_context that accepts,
// reads, answers and streams for every connection; nothing on it ever blocks.
//
//   server thread (io_context) ─┬─ acceptor ─ accept ─► CConnectionManager: room? ─► CHttpConnection
//                               │     └ failed (no descriptors, no buffers): again after a pause
//                               ├─ each connection: head ─► IHttpRoutes::Handle ─► answer / stream
//                               └─ work posted by others (the event stream's records and health)
//
// GET and HEAD only; bounded connections, head size, head deadline, keep-alive and streams
// (http_settings.h). The port is claimed as the data server claims its own (ClaimListenPort): a
// port another socket listens on is refused, never shared. Stop closes every connection at once
// and never waits for a client.
//
// Threads: Start, Stop and destruction on the owner's thread; Port, Counters and Executor from
// any thread; the routes are called on the server thread.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include "app/status/connection_manager.h"
#include "app/status/http_exchange.h"
#include "app/status/http_settings.h"

namespace tessamer {

inline constexpr int kStatusListenBacklog = 64;

class CHttpServer {
 public:
  // `routes` must outlive the server.
  explicit CHttpServer(IHttpRoutes& routes, HttpServerSettings settings = {});
  ~CHttpServer();  // stops the server
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Listens on `address` (an IP address's text) and `port` (0: any free port) and starts the
  // server thread. False with the system's reason in `why` when it cannot listen there.
  bool Start(const std::string& address, uint16_t port, std::string& why);
  // Ends the thread and closes the listener and every connection, at once. Idempotent.
  void Stop();
  uint16_t Port() const { return port; }  // the bound port; 0 before Start succeeded
  const HttpServerCounters& Counters() const { return counters; }
  // Work posted here runs on the server thread, in order, until Stop.
  asio::any_io_executor Executor() { return io.get_executor(); }

 private:
  void Accept();
  void OnAccept(const asio::error_code& failure, asio::ip::tcp::socket socket);
  void Run();

  IHttpRoutes& routes;
  const HttpServerSettings settings;
  HttpServerCounters counters;
  asio::io_context io{1};
  asio::ip::tcp::acceptor acceptor{io};  // server thread once it runs
  asio::steady_timer acceptRetry{io};    // server thread
  CConnectionManager manager{settings, counters};  // server thread
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;
  std::atomic<uint16_t> port{0};
};

}  // namespace tessamer
