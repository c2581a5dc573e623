#include "app/status/http_server.h"

#include <exception>

#include "app/status/http_connection.h"
#include "support/accept_retry.h"
#include "support/platform.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {

CHttpServer::CHttpServer(IHttpRoutes& routes, HttpServerSettings settings)
    : routes(routes), settings(settings) {}

CHttpServer::~CHttpServer() { Stop(); }

bool CHttpServer::Start(const std::string& address, uint16_t wanted, std::string& why) {
  if (thread.joinable()) return false;
  asio::error_code failure;
  const asio::ip::address ip = asio::ip::make_address(address, failure);
  const asio::ip::tcp::endpoint endpoint(ip, wanted);
  if (!failure) acceptor.open(endpoint.protocol(), failure);
  // A port another socket listens on is refused; a restarted hub listens again at once.
  if (!failure) ClaimListenPort(acceptor, failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(kStatusListenBacklog, failure);
  if (!failure) port = acceptor.local_endpoint(failure).port();
  if (failure) {
    why = failure.message();
    asio::error_code ignored;
    acceptor.close(ignored);
    port = 0;
    return false;
  }
  work.emplace(io.get_executor());
  Accept();
  thread = std::thread([this] { Run(); });
  return true;
}

void CHttpServer::Stop() {
  if (!thread.joinable()) return;
  io.stop();  // the handler running now finishes; no other one starts
  thread.join();
  asio::error_code ignored;
  acceptor.close(ignored);
  acceptRetry.cancel();
  manager.CloseAll();  // handlers still queued go with the io_context
  work.reset();
}

void CHttpServer::Run() {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& failure) {
      DiagnosticLog().WriteLine(L"Status endpoint: " + Widen(failure.what()));
    }
  }
}

void CHttpServer::Accept() {
  acceptor.async_accept([this](const asio::error_code& failure, asio::ip::tcp::socket socket) {
    OnAccept(failure, std::move(socket));
  });
}

void CHttpServer::OnAccept(const asio::error_code& failure, asio::ip::tcp::socket socket) {
  if (failure == asio::error::operation_aborted || !acceptor.is_open()) return;
  if (failure) {
    ++counters.acceptFailures;
    switch (AfterAcceptFailure(failure)) {
      case AcceptRetry::Never:
        return;
      case AcceptRetry::AtOnce:
        Accept();
        return;
      case AcceptRetry::AfterDelay:  // out of descriptors or buffers: the connection stays queued
        acceptRetry.expires_after(settings.acceptRetry);
        acceptRetry.async_wait([this](const asio::error_code& waited) {
          if (!waited) Accept();
        });
        return;
    }
  }
  ++counters.accepted;
  auto connection = std::make_shared<CHttpConnection>(std::move(socket), manager, routes, settings, counters);
  if (manager.Admit(connection)) {
    connection->Start();
  } else {
    connection->Close();
  }
  Accept();
}

}  // namespace tessamer
