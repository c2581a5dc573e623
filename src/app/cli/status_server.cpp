#include "app/cli/status_server.h"

#include <asio.hpp>
#include <httplib.h>

#include "app/cli/health_json.h"
#include "app/cli/health_metrics.h"

namespace tessamer {
namespace {

constexpr size_t kMaxRequestBody = 4096;  // nothing here takes a body; more is not read
constexpr const char* kJsonType = "application/json";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

// Why `address`:`port` cannot be bound, in the system's words: cpp-httplib does not say, so the
// same bind is tried once more to learn it.
std::string BindFailure(const std::string& address, uint16_t port) {
  asio::error_code error;
  const asio::ip::address ip = asio::ip::make_address(address, error);
  if (error) return "not an IPv4 address";
  asio::io_context context;
  asio::ip::tcp::acceptor probe(context);
  const asio::ip::tcp::endpoint endpoint(ip, port);
  probe.open(endpoint.protocol(), error);
  if (!error) probe.bind(endpoint, error);
  return error ? error.message() : "the address cannot be bound";
}

}  // namespace

CStatusServer::CStatusServer(Snapshot snapshot) : snapshot(std::move(snapshot)) {}

CStatusServer::~CStatusServer() { Stop(); }

bool CStatusServer::Start(const std::string& address, uint16_t wanted, std::string& error) {
  server = std::make_unique<httplib::Server>();
  server->new_task_queue = [] { return new httplib::ThreadPool(kStatusWorkers); };
  server->set_payload_max_length(kMaxRequestBody);
  server->Get("/status", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(HealthJson(snapshot()), kJsonType);
  });
  server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(HealthMetrics(snapshot()), kMetricsType);
  });
  const int bound = wanted == 0 ? server->bind_to_any_port(address) : (server->bind_to_port(address, wanted) ? wanted : -1);
  if (bound <= 0) {
    error = "The status endpoint cannot listen on " + address + ":" + std::to_string(wanted) + ": " +
            BindFailure(address, wanted);
    server.reset();
    return false;
  }
  port = static_cast<uint16_t>(bound);
  listenEnded = false;
  listener = std::thread([this] {
    server->listen_after_bind();
    listenEnded = true;
  });
  return true;
}

void CStatusServer::Stop() {
  if (!listener.joinable()) return;
  // cpp-httplib's stop only takes effect once its accept loop runs; until then there is nothing
  // to stop, and the loop is moments away.
  while (!server->is_running() && !listenEnded) std::this_thread::yield();
  server->stop();
  listener.join();
  server.reset();
}

}  // namespace tessamer
