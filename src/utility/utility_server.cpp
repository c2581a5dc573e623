#include "utility/utility_server.h"

#include <system_error>
#include <utility>
#include <vector>

#include <asio/post.hpp>

#include "support/error_numbers.h"
#include "support/platform.h"

namespace tessamer {

namespace {

// A utility that gave up while waiting in the backlog must not end the service.
bool Transient(const std::error_code& result) {
  return result == asio::error::connection_aborted || result == asio::error::connection_reset;
}

}  // namespace

CUtilityServer::CUtilityServer(UtilityRequestHandler handler, std::string listenAddress,
                               uint16_t port, std::chrono::milliseconds idleTimeout,
                               std::chrono::milliseconds lineTimeout)
    : requestHandler(std::move(handler)),
      listenAddress(std::move(listenAddress)),
      port(port),
      idleTimeout(idleTimeout),
      lineTimeout(lineTimeout) {}

CUtilityServer::~CUtilityServer() {
  stopping = true;
  if (thread.joinable()) {
    asio::post(io, [this] {
      StopSessions();
      io.stop();
    });
    thread.join();
  }
  // The request in progress finishes; then the last departure's call, if any, is made.
  if (requests) requests->join();
  std::error_code ignored;
  listenSocket.close(ignored);
}

bool CUtilityServer::Start() {
  if (!Listen() || !StartThreads()) return false;
  asio::post(io, [this] { Accept(); });
  return true;
}

bool CUtilityServer::Listen() {
  std::error_code failure;
  const auto address = asio::ip::make_address_v4(listenAddress, failure);
  if (failure) {
    error.SetSystemError(kWsaAddressNotAvailable);
    return false;
  }
  listenSocket.open(asio::ip::tcp::v4(), failure);
  if (failure) {
    error.SetSystemError(ErrorNumberFrom(failure));
    return false;
  }
  // A restarted hub may bind again while its previous connections linger in TIME_WAIT; a port
  // another socket listens on is refused.
  ClaimListenPort(listenSocket, failure);
  listenSocket.bind(asio::ip::tcp::endpoint(address, port), failure);
  if (failure) {
    error.SetSystemError(ErrorNumberFrom(failure));
    return false;
  }
  listenSocket.listen(kUtilityListenBacklog, failure);
  if (!failure) boundPort = listenSocket.local_endpoint(failure).port();
  return failure ? Fail(failure) : true;
}

bool CUtilityServer::StartThreads() {
  try {
    requests = std::make_unique<asio::thread_pool>(1);
    thread = std::thread([this] { io.run(); });
  } catch (const std::system_error& e) {
    return Fail(e.code());
  }
  return true;
}

bool CUtilityServer::Fail(const std::error_code& failure) {
  error.SetSystemError(ErrorNumberFrom(failure));
  std::error_code ignored;
  listenSocket.close(ignored);
  boundPort = 0;
  return false;
}

void CUtilityServer::Accept() {
  listenSocket.async_accept(
      [this](const std::error_code& result, asio::ip::tcp::socket peer) {
        OnAccepted(result, std::move(peer));
      });
}

void CUtilityServer::OnAccepted(const std::error_code& result, asio::ip::tcp::socket peer) {
  if (result) {
    // The listening socket was closed, or failed for good: no more utilities are taken.
    if (Transient(result)) Accept();
    return;
  }
  IUtilitySessionOwner& owner = *this;
  auto session =
      std::make_shared<CUtilitySession>(std::move(peer), owner, idleTimeout, lineTimeout);
  if (sessions.size() >= kUtilityMaxConnections) {
    session->Refuse();
  } else {
    sessions.insert(session);
    session->Start();
  }
  Accept();
}

void CUtilityServer::StopSessions() {
  std::error_code ignored;
  listenSocket.close(ignored);
  const std::vector<std::shared_ptr<CUtilitySession>> all(sessions.begin(), sessions.end());
  for (const auto& session : all) session->Stop();
}

void CUtilityServer::SubmitRequest(std::shared_ptr<CUtilitySession> session,
                                   std::string request) {
  asio::post(*requests, [this, session = std::move(session), request = std::move(request)] {
    std::string reply;
    if (!stopping) {
      requestHandler(request.c_str(), static_cast<int32_t>(request.size()), &reply);
    }
    asio::post(io, [session, reply = std::move(reply)]() mutable {
      session->Replied(std::move(reply));
    });
  });
}

void CUtilityServer::SessionEnded(const std::shared_ptr<CUtilitySession>& session) {
  // A refused utility was never counted; the others' box connections stay while one is left.
  if (sessions.erase(session) == 0 || !sessions.empty()) return;
  asio::post(*requests, [this] { requestHandler(nullptr, 0, nullptr); });
}

}  // namespace tessamer
