#pragma once
// The status endpoint: the hub's health for people and machines, read-only, on one port.
//
//   GET /                 the web page (page/index.html) ─┐ embedded files (page_assets.h)
//   GET /page.css, /page.js, /chart.js ─────────────────────┘
//   GET /status           the health as JSON (health_json.h)
//   GET /metrics          the health, the process and the endpoint for Prometheus
//   GET /events           the page's live feed (event_stream.h)
//   GET <produced route>  a long body produced off the server's thread (StatusEndpoint::produced;
//                         /records, with the recording)
//   anything else         404; a method other than GET and HEAD: 405
//
// Served by CHttpServer on one thread of its own. With a token, every request must carry it
// (status_access.h) or is answered 401 and nothing else. Nothing here changes the hub. The route
// table is where further read-only paths go. A produced route's answer is made on one of the
// endpoint's answer threads, never on the server's: the route function (which may open files)
// gives the status and content type, then its producer writes the body in chunks, each written
// once the client took enough of the last (chunked transfer coding: a body broken off is seen as
// incomplete). At most kMaxProducedAnswers are made at once; beyond: 503.
//
//   server thread: route ─ StreamLater ─ post ─► answer thread: route function(query) ─► status,
//        ▲                                        type; producer(write) ─ write(chunk) waits
//        └──────── head, chunks, last chunk ─────┘  for room; false once the client is gone
//
// Threads: Start, Stop and destruction on the owner's thread; the routes on the server thread,
// where `snapshot` is called; produced routes on the answer threads; EventOutput's object is
// called by the hub's run (event_stream.h).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <asio/thread_pool.hpp>

#include "app/status/event_stream.h"
#include "app/status/health_metrics.h"
#include "app/status/http_server.h"
#include "app/status/status_access.h"
#include "hub/core/health.h"

namespace tessamer {

inline constexpr size_t kAnswerThreads = 2;       // produce long bodies off the server's thread
inline constexpr size_t kMaxProducedAnswers = 4;  // being made at once; beyond: 503

// Takes one chunk of a produced body; false once the client is gone (stop producing).
using ChunkWriter = std::function<bool(std::string_view chunk)>;

// A produced route's answer: known at once, its body made afterwards.
struct ProducedAnswer {
  int status = 200;
  std::string contentType;
  // Writes the body in chunks, once; false when it failed after the body began (the answer is
  // then broken off). Empty: no body.
  std::function<bool(const ChunkWriter& write)> produce;
};

// Answers a GET of its path from the request's query string (after the '?', still
// percent-encoded). Called on an answer thread; may block briefly (opening a file).
using ProducedRoute = std::function<ProducedAnswer(std::string_view query)>;

// Where and how the status endpoint listens.
struct StatusEndpoint {
  std::string address;  // an IPv4 address's dotted text (a host name is resolved before)
  uint16_t port = 0;    // 0: any free port
  std::string token;    // empty: every request is answered
  HttpServerSettings http;  // bounds and deadlines; tests scale them down
  std::chrono::milliseconds healthPeriod = kHealthEventPeriod;
  std::map<std::string, ProducedRoute, std::less<>> produced;  // by path ("/records")
};

class CStatusServer : public IHttpRoutes {
 public:
  using Snapshot = std::function<HubHealth()>;

  // `snapshot` gives the health to show; it must stay callable until Stop returns.
  CStatusServer(Snapshot snapshot, StatusEndpoint endpoint);
  ~CStatusServer() override;  // stops the server
  CStatusServer(const CStatusServer&) = delete;
  CStatusServer& operator=(const CStatusServer&) = delete;

  // Binds the endpoint's address and port and starts answering. False with a one-line `error`
  // (no line end) naming the address, the port and the reason when it cannot listen there (the
  // port is taken, the address is not this machine's).
  bool Start(std::string& error);
  // Closes every connection and ends the server's thread, without waiting for any client.
  // Idempotent.
  void Stop();
  uint16_t Port() const { return server.Port(); }  // the bound port; 0 before Start succeeded
  // The output the hub's run feeds the event stream through (CHubBridge::AddOutput).
  std::shared_ptr<IJobOutput> EventOutput() const { return output; }
  const HttpServerCounters& Counters() const { return server.Counters(); }

  void Handle(CHttpReply& reply) override;

 private:
  using Route = std::function<void(CHttpReply&)>;

  void AddRoutes();
  void AnswerLater(CHttpReply& reply, const ProducedRoute& route);
  MetricsExtras Extras() const;

  Snapshot snapshot;
  const StatusEndpoint endpoint;
  const CStatusAccess access;
  std::map<std::string, Route, std::less<>> routes;  // by path; built before Start
  CHttpServer server;
  CEventStreams events;  // server thread
  std::shared_ptr<CEventOutput> output;
  asio::thread_pool answers{kAnswerThreads};  // produced routes
  std::atomic<size_t> producing{0};           // answers posted to them and not yet made
};

}  // namespace tessamer
