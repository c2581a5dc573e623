#pragma once
// The hub's utility server: setpoint utilities connect, are greeted like a box would greet them,
// and send one request per line; the hub routes each line as it arrives (the handler's
// RouteRequest) and the request executor runs what answers it; that reply text is sent back
// unchanged. Up to 16 utilities are read side by side.
//
// Order: one utility's requests run one at a time, in its order: its session reads the next line
// only once the reply to the last one has been sent, so its replies come back in the order of its
// requests (a utility speaks request and reply on one line link; it may send its next line before
// the reply comes, and still gets the replies in order). Requests of different utilities run side
// by side unless the handler routed them to the same lane (the bridge's lane is the box): the
// requests of one lane run one at a time in the order they arrived, so a box that does not answer
// holds up the requests for that box alone.
//
//   server thread (io):                                 request executor (CRequestLanes):
//     accept ──┬─ 16 connected: greet, close              one thread per lane with work
//              ├─ failed for want of resources: again after kAcceptRetryDelay
//              └─> CUtilitySession i: greet ─> read a line ─ RouteRequest ─┬─> lane: run(reply)
//                    ▲  deadlines: idle, line complete,     nothing to run ┤          │
//                    │  reply taken                                        ▼          │
//                    └──────────────── send reply <──────────────────────────────────┘
//     the last connected session ended ──> UtilitiesGone, once no lane has work
//   owner's thread: Start; destruction (closes every session, waits for the requests running)
//
// Threads: Start and destruction on the owner's thread. Accept, sessions, `sessions`, every
// socket and RouteRequest on the server thread alone; the work RouteRequest returns and
// UtilitiesGone on the request executor's threads. `stopping` is read by the executor.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "hub/core/hub_config.h"
#include "support/error_info.h"
#include "utility/request_lanes.h"
#include "utility/utility_session.h"

namespace tessamer {

// How the hub answers one request line, as routed on its arrival.
struct UtilityRequestWork {
  std::string lane;  // the requests of one lane run one at a time, in arrival order
  std::function<void(std::string& reply)> run;  // fills the reply; none: no reply is sent
};

// What the server needs of the hub (the bridge). Must not throw.
class IUtilityRequestHandler {
 public:
  virtual ~IUtilityRequestHandler() = default;
  // Server thread, for each non-empty request line as it arrives (1 to 255 bytes without its
  // line end; any byte, zero included): what answers it. Must not wait (no box exchange here).
  virtual UtilityRequestWork RouteRequest(std::string_view request) = 0;
  // Request executor, once the last connected utility has gone and no request is waiting or
  // running: the box connections that serve every connected utility may be let go.
  virtual void UtilitiesGone() = 0;
};

inline constexpr int kUtilityListenBacklog = 10;
inline constexpr size_t kUtilityMaxConnections = 16;  // further utilities: greeted and closed
inline constexpr std::chrono::milliseconds kUtilityIdleTimeout{5000};  // silence before a close
inline constexpr std::chrono::milliseconds kUtilityLineTimeout{5000};  // first byte to line end

class CUtilityServer : private IUtilitySessionOwner {
 public:
  // `handler` must outlive the server; it is called until destruction has joined the executor.
  // `port` 0 listens on any free port (see Port()). `idleTimeout`: a utility silent that long
  // (or not taking its greeting or reply) is let go; `lineTimeout`: a request line must be
  // complete that long after its first byte. 0 or less: no limit.
  explicit CUtilityServer(IUtilityRequestHandler& handler,
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
  void AcceptFailed(const std::error_code& failure);
  void StopSessions();
  void SubmitRequest(std::shared_ptr<CUtilitySession> session, std::string request) override;
  void SessionEnded(const std::shared_ptr<CUtilitySession>& session) override;

  asio::io_context io;                       // accept and every session: the server thread
  asio::executor_work_guard<asio::io_context::executor_type> serving{io.get_executor()};
  asio::ip::tcp::acceptor listenSocket{io};  // closed when not listening
  asio::steady_timer acceptRetry{io};        // the pause after an accept failed
  bool acceptFailing = false;                // the last accept failed: logged once per spell
  ErrorInfo error;                           // why Start failed
  IUtilityRequestHandler& requestHandler;
  std::string listenAddress;
  uint16_t port;
  uint16_t boundPort = 0;
  std::chrono::milliseconds idleTimeout;
  std::chrono::milliseconds lineTimeout;
  std::set<std::shared_ptr<CUtilitySession>> sessions;  // the connected utilities
  std::atomic<bool> stopping{false};         // queued requests are dropped, not run
  CRequestLanes requests;                    // the request executor
  std::thread thread;                        // the server thread, runs `io`
};

}  // namespace tessamer
