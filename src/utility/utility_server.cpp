#include "utility/utility_server.h"

#include <system_error>
#include <utility>
#include <vector>

#include <asio/post.hpp>

#include "support/accept_retry.h"
#include "support/error_numbers.h"
#include "support/platform.h"
#include "support/simple_log_file.h"

namespace tessamer {

CUtilityServer::CUtilityServer(IUtilityRequestHandler& handler, std::string listenAddress,
                               uint16_t port, std::chrono::milliseconds idleTimeout,
                               std::chrono::milliseconds lineTimeout)
    : requestHandler(handler),
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
  // The requests in progress finish; then the last departure's call, if any, is made.
  requests.Join();
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
  if (result) return AcceptFailed(result);
  acceptFailing = false;
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

// Running out of descriptors (a crowd of connections to another of the hub's ports, say) is a
// spell that passes: the server tries again after a pause for as long as it listens, and logs the
// first failure of each spell.
void CUtilityServer::AcceptFailed(const std::error_code& failure) {
  if (!listenSocket.is_open()) return;
  const AcceptRetry retry = AfterAcceptFailure(failure);
  if (retry == AcceptRetry::Never) return;
  if (retry == AcceptRetry::AtOnce) return Accept();
  if (!acceptFailing) {
    acceptFailing = true;
    ErrorInfo why;
    why.SetSystemError(ErrorNumberFrom(failure));
    DiagnosticLog().WriteRecord(L"Utility server: a connection could not be accepted (" +
                                why.text + L"); trying again");
  }
  acceptRetry.expires_after(kAcceptRetryDelay);
  acceptRetry.async_wait([this](const std::error_code& cancelled) {
    if (!cancelled) Accept();
  });
}

void CUtilityServer::StopSessions() {
  std::error_code ignored;
  listenSocket.close(ignored);
  acceptRetry.cancel();
  const std::vector<std::shared_ptr<CUtilitySession>> all(sessions.begin(), sessions.end());
  for (const auto& session : all) session->Stop();
}

void CUtilityServer::SubmitRequest(std::shared_ptr<CUtilitySession> session,
                                   std::string request) {
  UtilityRequestWork work = requestHandler.RouteRequest(request);
  if (!work.run) {
    asio::post(io, [session = std::move(session)] { session->Replied({}); });
    return;
  }
  auto job = [this, session = std::move(session), run = std::move(work.run)] {
    std::string reply;
    if (!stopping) run(reply);
    asio::post(io, [session, reply = std::move(reply)]() mutable {
      session->Replied(std::move(reply));
    });
  };
  requests.Post(work.lane, std::move(job));
}

void CUtilityServer::SessionEnded(const std::shared_ptr<CUtilitySession>& session) {
  // A refused utility was never counted; the others' box connections stay while one is left.
  if (sessions.erase(session) == 0 || !sessions.empty()) return;
  requests.WhenIdle([this] { requestHandler.UtilitiesGone(); });
}

}  // namespace tessamer
