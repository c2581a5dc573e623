#include "app/status/status_server.h"

#include <exception>

#include "app/status/health_json.h"
#include "app/status/health_metrics.h"
#include "app/status/page_assets.h"
#include "app/status/process_figures.h"
#include "version.h"

namespace tessamer {
namespace {

constexpr int kNotFound = 404;
constexpr int kUnavailable = 503;
constexpr int kUnauthorized = 401;
constexpr const char* kJsonType = "application/json";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kEventsPath = "/events";
// The page and its files load nothing from anywhere else, and nothing else may frame them.
constexpr const char* kPagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

HttpResponse AssetResponse(const PageAsset& asset, const std::shared_ptr<const std::string>& body) {
  HttpResponse response;
  response.contentType = asset.contentType;
  response.body = body;
  response.headers = {{"Cache-Control", "no-cache"},
                      {"Content-Security-Policy", kPagePolicy},
                      {"Referrer-Policy", "no-referrer"}};
  return response;
}

HttpResponse Unauthorized() {
  HttpResponse response = EmptyResponse(kUnauthorized);
  response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"tessamer\"");
  return response;
}

}  // namespace

CStatusServer::CStatusServer(Snapshot snapshot, StatusEndpoint endpoint)
    : snapshot(std::move(snapshot)),
      endpoint(std::move(endpoint)),
      access(this->endpoint.token),
      server(*this, this->endpoint.http),
      events(this->snapshot, server.Executor(), this->endpoint.healthPeriod),
      output(std::make_shared<CEventOutput>()) {
  AddRoutes();
}

CStatusServer::~CStatusServer() { Stop(); }

void CStatusServer::AddRoutes() {
  for (const PageAsset& asset : PageAssets()) {
    auto body = std::make_shared<const std::string>(asset.bytes);
    routes.emplace(asset.path, [response = AssetResponse(asset, body)](CHttpReply& reply) { reply.Respond(response); });
  }
  routes.emplace("/status", [this](CHttpReply& reply) {
    reply.Respond(TextResponse(200, kJsonType, HealthJson(snapshot())));
  });
  routes.emplace("/metrics", [this](CHttpReply& reply) {
    reply.Respond(TextResponse(200, kMetricsType, HealthMetrics(snapshot(), Extras())));
  });
  routes.emplace(kEventsPath, [this](CHttpReply& reply) { events.Open(reply); });
  for (const auto& [path, produced] : endpoint.produced) {
    routes.emplace(path, [this, &produced = produced](CHttpReply& reply) { AnswerLater(reply, produced); });
  }
}

void CStatusServer::AnswerLater(CHttpReply& reply, const ProducedRoute& route) {
  if (producing.fetch_add(1) >= kMaxProducedAnswers) {
    --producing;
    HttpResponse busy = EmptyResponse(kUnavailable);
    busy.headers.emplace_back("Retry-After", "1");
    reply.Respond(std::move(busy));
    return;
  }
  const std::shared_ptr<CHttpStream> stream = reply.StreamLater();
  if (!stream) {
    --producing;
    return;
  }
  // An HTTP/1.0 client knows no chunks: its body ends when the connection closes.
  const bool chunked = reply.Request().minorVersion >= 1;
  asio::post(answers, [this, &route, stream, chunked, query = reply.Request().query] {
    ProducedAnswer answer;
    try {
      answer = route(query);
    } catch (const std::exception&) {
      answer = ProducedAnswer{500, {}, {}};
    }
    HttpResponse head = EmptyResponse(answer.status);
    head.contentType = answer.contentType;
    head.headers.emplace_back("Cache-Control", "no-store");
    stream->Begin(head, chunked ? BodyEnd::Chunked : BodyEnd::Close);
    bool whole = true;  // the body was made to its end
    if (answer.produce && !stream->HeadOnly()) {
      const ChunkWriter write = [&stream, chunked](std::string_view chunk) {
        if (chunk.empty()) return true;
        return stream->Write(chunked ? ChunkText(chunk) : std::string(chunk));
      };
      try {
        whole = answer.produce(write);
      } catch (const std::exception&) {
        whole = false;
      }
    }
    // A body that failed ends without its last chunk: the client sees it incomplete.
    if (whole && chunked && !stream->HeadOnly()) stream->Write(ChunkText({}));
    if (!stream->HeadOnly()) stream->End();
    --producing;
  });
}

bool CStatusServer::Start(std::string& error) {
  std::string why;
  if (!server.Start(endpoint.address, endpoint.port, why)) {
    error = "The status endpoint cannot listen on " + endpoint.address + ":" + std::to_string(endpoint.port) + ": " +
            why;
    return false;
  }
  output->Attach(server.Executor(), &events);
  return true;
}

void CStatusServer::Stop() {
  output->Detach();  // the run posts nothing more to the server's thread
  server.Stop();     // closes every stream: a producer waiting for room stops at once
  events.Stop();     // the server's thread has ended: nothing else touches the streams
  answers.stop();    // answers not yet begun are dropped; one being made ends at its next chunk
  answers.join();
}

void CStatusServer::Handle(CHttpReply& reply) {
  const HttpRequest& request = reply.Request();
  const CStatusAccess::Verdict verdict = access.Check(request);
  if (verdict == CStatusAccess::Verdict::Refused) {
    reply.Respond(Unauthorized());
    return;
  }
  if (verdict == CStatusAccess::Verdict::AllowedByQuery) reply.AddHeader("Set-Cookie", access.SessionCookie());
  const auto route = routes.find(request.path);
  if (route == routes.end()) {
    reply.Respond(EmptyResponse(kNotFound));
    return;
  }
  route->second(reply);
}

MetricsExtras CStatusServer::Extras() const {
  MetricsExtras extras;
  extras.version = kVersionText;
  extras.process = ReadProcessFigures();
  const HttpServerCounters& counters = server.Counters();
  extras.endpoint = EndpointFigures{counters.connections, counters.streams, counters.refused,
                                    counters.evicted,     counters.timedOut, counters.streamsDropped};
  return extras;
}

}  // namespace tessamer
