#pragma once
// The hub's utility server: a setpoint utility connects, is greeted like a box would greet it, and
// sends one request per line; each line goes to the request handler, whose reply text is sent back
// unchanged. One utility is served at a time, on the server's own thread.
//
//   accept thread:  accept ─> greet ─> [ReadLine ─> handler(line) ─> send reply]* ─> close
//                   ─> handler(none, 0, none) ─> accept ...
//   window thread:  Start, destruction (stops the accept, interrupts a waiting exchange, joins)
//
// Threads: Start and destruction on the owner's thread; the request handler only ever on the
// accept thread, never on two threads at once. `lock` guards `client` and `stopping`.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "hub/core/hub_config.h"
#include "support/error_info.h"

namespace tessamer {

class LineLink;

// (request line or none, its length, reply text to fill or none) -> result, unused by the server.
// Called with (nullptr, 0, nullptr) each time a utility's exchange has ended.
using UtilityRequestHandler = std::function<bool(const char* request, int32_t length,
                                                 std::string* reply)>;

inline constexpr int kUtilityListenBacklog = 10;
inline constexpr size_t kUtilityRequestBuffer = 256;  // at most 255 characters of a request
inline constexpr std::string_view kUtilityGreeting = "Vellumetric-VMC: connected\r\n";
inline constexpr std::chrono::milliseconds kUtilityIdleTimeout{5000};

class CUtilityServer {
 public:
  // `handler` is copied in and called on the accept thread until destruction has joined it.
  // `port` 0 listens on any free port (see Port()). `idleTimeout`: a utility silent that long
  // is let go.
  explicit CUtilityServer(UtilityRequestHandler handler,
                          std::string listenAddress = "0.0.0.0",
                          uint16_t port = kUtilityPort,
                          std::chrono::milliseconds idleTimeout = kUtilityIdleTimeout);
  ~CUtilityServer();
  CUtilityServer(const CUtilityServer&) = delete;
  CUtilityServer& operator=(const CUtilityServer&) = delete;

  // Listens and starts the accept thread. False with GetErrorInfo() filled when it cannot.
  bool Start();

  // The bound port once listening, 0 before.
  uint16_t Port() const { return boundPort; }
  const ErrorInfo& GetErrorInfo() const { return error; }

 private:
  void AcceptLoop();
  bool AcceptOne(LineLink& link);  // false when the listening socket is gone
  void Serve(LineLink& link);

  asio::io_context io;                       // the accept, run by the accept thread alone
  asio::ip::tcp::acceptor listenSocket{io};  // closed when not listening
  ErrorInfo error;                           // why Start failed
  UtilityRequestHandler requestHandler;
  std::string listenAddress;
  uint16_t port;
  uint16_t boundPort = 0;
  std::chrono::milliseconds idleTimeout;
  std::thread thread;

  std::mutex lock;
  LineLink* client = nullptr;  // the link being served, for destruction to interrupt it
  bool stopping = false;
};

}  // namespace tessamer
