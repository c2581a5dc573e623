#pragma once
// The hub's listening side towards viewers. Every connected viewer is handed the last header
// block and data line at once, then every newly published text, each whole and in order; what a
// viewer sends is cut into lines, and its "##" lines go to the command relay.
//
//            ┌───────────── io_context, run by kWorkerCount worker threads ─────────────┐
//   accepts: │ acceptor strand: two accepts outstanding; each completion posts a        │
//            │   replacement and starts a CViewerConnection on a strand of its own      │
//   viewer:  │ its strand: one receive outstanding ─► COffsetProcessor ─► relay         │
//            │             one send outstanding   ◄─ CClientProcessor queue ◄─┐         │
//   gather:  │ gathering strand: the gathering delay after the first held     │         │
//            │   line, CContextPool::StartHeld hands the held lines, as one   │         │
//            │   text, to every viewer's queue and starts its send step ──────┤         │
//            └────────────────────────────────────────────────────────────────│─────────┘
//   publisher thread ─ CContextPool::Publish, under the pool's lock:          │
//     behind (CPublisherPace) ── the line is held in the pool, nothing else   │
//     else, each viewer:                                                      │
//       idle (nothing queued or being sent) ── written at once ──► its socket │
//         └─ the socket took only part, or none ── the rest is the strand's ──┤
//       busy (queued or sending) ── queued behind what it has ────────────────┘
//
// The common case costs the publisher one non-blocking send per viewer and the workers nothing;
// only a viewer that would block is left to its strand. While the publisher is behind, a line
// costs it little per viewer (a line joins a send that waits to begin, nothing more), and each
// viewer gets the held lines in one send. A viewer's texts go out in order either way: the
// publisher writes only while the strand has nothing of the viewer's to send (see
// CClientProcessor), never after the viewer has left the pool, and never before lines held
// earlier have been handed over (see CContextPool).
//
// All state the workers touch lives in a shared core that each worker keeps alive, so that Stop
// can give up on a worker that does not exit without leaving it on freed memory; each viewer
// connection is kept alive by its own handlers.
//
// Threads: Start, Stop, SetCommandRelay and the destructor on the owner's thread; Publish, Port,
// LastError and the observers from any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "hub/core/notices.h"
#include "server/command_relay.h"
#include "server/context_pool.h"
#include "support/error_info.h"

namespace tessamer {

inline constexpr int kWorkerCount = 2;
inline constexpr int kListenBacklog = 20;
inline constexpr std::chrono::milliseconds kServerStopWait{5000};  // for the workers to end
inline constexpr const char* kAllInterfaces = "0.0.0.0";

class CDataServer {
 public:
  // Listens on `listenAddress`:`port` once started (port 0: any free port). `window` may be null
  // (no notices are posted) and must outlive Stop. Creates nothing on the network.
  CDataServer(uint16_t port, INoticeSink* window, std::string listenAddress = kAllInterfaces,
              std::chrono::milliseconds stopWait = kServerStopWait,
              size_t queueLimit = kMaxQueuedBytes);
  ~CDataServer();  // stops the server if Stop was not called
  CDataServer(const CDataServer&) = delete;
  CDataServer& operator=(const CDataServer&) = delete;

  // Where "##" lines go; call before Start. Without one a "##" line gets no reply. The relay
  // must outlive Stop.
  void SetCommandRelay(ICommandRelay* relay);

  // True when the server listens. On false LastError() says why: a port in use gives 10048 and
  // the system's text.
  bool Start();
  // Closes the listener, resets every client's connection and waits for the workers, at most
  // the stop wait; returns then even if one has not ended. No notice is posted after Stop.
  void Stop();

  // Stores `text` as the last header block or data line and hands it to every client.
  void Publish(SavedText which, std::string text);

  uint16_t Port() const;  // the bound port once listening, else the port asked for
  ErrorInfo LastError() const;
  size_t ConnectedCount() const;
  std::vector<ViewerHealth> Viewers() const;  // see CContextPool::Viewers
  std::string Saved(SavedText which) const;
  // The workers' executor: work posted here runs on a worker thread.
  asio::io_context::executor_type Executor() const;

  class Core;  // the workers' shared state (data_server.cpp)

 private:
  std::shared_ptr<Core> core;
  std::vector<std::thread> workers;
  std::chrono::milliseconds stopWait;  // for the workers to end
  bool started = false;
  bool stopped = false;
};

}  // namespace tessamer
