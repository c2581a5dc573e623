#pragma once
// The hub's utility server: setpoint utilities connect, are greeted like a box would greet them,
// and send one request per line; each line goes to the request handler, whose reply text is sent
// back unchanged. Up to 16 utilities are read side by side; their requests run one at a time, in
// the order their lines were completed, because the handler's box connections serve one request
// at a time.
//
//   server thread (io):                                    request executor (one thread):
//     accept ──┬─ 16 connected: greet, close
//              └─> CUtilitySession i: greet ─> read a line ──> handler(line, &reply)
//                    ▲  deadlines: idle, line complete,                │
//                    │  reply taken                                    │
//                    └──────────────── send reply <────────────────────┘
//     the last connected session ended ───────────────────────> handler(none, 0, none)
//   owner's thread: Start; destruction (closes every session, waits for the request in progress)
//
// Threads: Start and destruction on the owner's thread. Accept, sessions, `sessions` and every
// socket on the server thread alone; the request handler only on the request executor, one call
// at a time. `stopping` is read by the executor.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>

#include "hub/core/hub_config.h"
#include "support/error_info.h"
#include "utility/utility_session.h"

namespace tessamer {

// (request line or none, its length, reply text to fill or none) -> result, unused by the server.
// Called with each non-empty request line (1 to 255 characters, zero-terminated, without its
// line end); what it leaves in the reply is sent back, an empty reply sends nothing. Called with
// (nullptr, 0, nullptr) when the last connected utility has gone: the box connections that the
// handler keeps serve every connected utility, so they are let go only once none is left. Must
// not throw.
using UtilityRequestHandler = std::function<bool(const char* request, int32_t length,
                                                 std::string* reply)>;

inline constexpr int kUtilityListenBacklog = 10;
inline constexpr size_t kUtilityMaxConnections = 16;  // further utilities: greeted and closed
inline constexpr std::chrono::milliseconds kUtilityIdleTimeout{5000};  // silence before a close
inline constexpr std::chrono::milliseconds kUtilityLineTimeout{5000};  // first byte to line end

class CUtilityServer : private IUtilitySessionOwner {
 public:
  // `handler` is copied in and called on the request executor until destruction has joined it.
  // `port` 0 listens on any free port (see Port()). `idleTimeout`: a utility silent that long
  // (or not taking its greeting or reply) is let go; `lineTimeout`: a request line must be
  // complete that long after its first byte. 0 or less: no limit.
  explicit CUtilityServer(UtilityRequestHandler handler,
                          std::string listenAddress = "0.0.0.0",
                          uint16_t port = kUtilityPort,
                          std::chrono::milliseconds idleTimeout = kUtilityIdleTimeout,
                          std::chrono::milliseconds lineTimeout = kUtilityLineTimeout);
  ~CUtilityServer() override;
  CUtilityServer(const CUtilityServer&) = delete;
  CUtilityServer& operator=(const CUtilityServer&) = delete;

  // Listens and starts the server thread and the request executor. False with GetErrorInfo()
  // filled when it cannot.
  bool Start();

  // The bound port once listening, 0 before.
  uint16_t Port() const { return boundPort; }
  const ErrorInfo& GetErrorInfo() const { return error; }

 private:
  bool Listen();  // false with `error` filled
  bool StartThreads();
  bool Fail(const std::error_code& failure);  // records it, stops listening; false
  void Accept();
  void OnAccepted(const std::error_code& result, asio::ip::tcp::socket peer);
  void StopSessions();
  void SubmitRequest(std::shared_ptr<CUtilitySession> session, std::string request) override;
  void SessionEnded(const std::shared_ptr<CUtilitySession>& session) override;

  asio::io_context io;                       // accept and every session: the server thread
  asio::executor_work_guard<asio::io_context::executor_type> serving{io.get_executor()};
  asio::ip::tcp::acceptor listenSocket{io};  // closed when not listening
  ErrorInfo error;                           // why Start failed
  UtilityRequestHandler requestHandler;
  std::string listenAddress;
  uint16_t port;
  uint16_t boundPort = 0;
  std::chrono::milliseconds idleTimeout;
  std::chrono::milliseconds lineTimeout;
  std::set<std::shared_ptr<CUtilitySession>> sessions;  // the connected utilities
  std::atomic<bool> stopping{false};         // queued requests are dropped, not run
  std::unique_ptr<asio::thread_pool> requests;  // the request executor: one thread, in order
  std::thread thread;                        // the server thread, runs `io`
};

}  // namespace tessamer
