#pragma once
// The status endpoint: the hub's health for people and machines, read-only, on one port.
//
//   GET /                 the web page (page/index.html) ─┐ embedded files (page_assets.h)
//   GET /page.css, /page.js, /chart.js ─────────────────────┘
//   GET /status           the health as JSON (health_json.h)
//   GET /metrics          the health, the process and the endpoint for Prometheus
//   GET /events           the page's live feed (event_stream.h)
//   anything else         404; a method other than GET and HEAD: 405
//
// Served by CHttpServer on one thread of its own. With a token, every request must carry it
// (status_access.h) or is answered 401 and nothing else. Nothing here changes the hub. The route
// table is where further read-only paths go (a path's long body is streamed through
// CHttpReply::Stream and may be produced on another thread).
//
// Threads: Start, Stop and destruction on the owner's thread; the routes on the server thread,
// where `snapshot` is called; EventOutput's object is called by the hub's run (event_stream.h).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/status/event_stream.h"
#include "app/status/health_metrics.h"
#include "app/status/http_server.h"
#include "app/status/status_access.h"
#include "hub/core/health.h"

namespace tessamer {

// Where and how the status endpoint listens.
struct StatusEndpoint {
  std::string address;  // an IPv4 address's dotted text (a host name is resolved before)
  uint16_t port = 0;    // 0: any free port
  std::string token;    // empty: every request is answered
  HttpServerSettings http;  // bounds and deadlines; tests scale them down
  std::chrono::milliseconds healthPeriod = kHealthEventPeriod;
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
  MetricsExtras Extras() const;

  Snapshot snapshot;
  const StatusEndpoint endpoint;
  const CStatusAccess access;
  std::map<std::string, Route, std::less<>> routes;  // by path; built before Start
  CHttpServer server;
  CEventStreams events;  // server thread
  std::shared_ptr<CEventOutput> output;
};

}  // namespace tessamer
