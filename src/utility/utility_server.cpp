#include "utility/utility_server.h"

#include <memory>
#include <system_error>
#include <utility>

#include <asio/post.hpp>

#include "support/error_numbers.h"
#include "support/exceptions.h"
#include "utility/line_link.h"

namespace tessamer {

CUtilityServer::CUtilityServer(UtilityRequestHandler handler, std::string listenAddress,
                               uint16_t port, std::chrono::milliseconds idleTimeout)
    : requestHandler(std::move(handler)),
      listenAddress(std::move(listenAddress)),
      port(port),
      idleTimeout(idleTimeout) {}

CUtilityServer::~CUtilityServer() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    if (client != nullptr) client->Abort();
  }
  if (thread.joinable()) {
    asio::post(io, [this] {
      std::error_code ignored;
      listenSocket.close(ignored);
    });
    thread.join();
  }
  std::error_code ignored;
  listenSocket.close(ignored);
}

bool CUtilityServer::Start() {
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
  // A restarted hub may bind again while its previous connections linger in TIME_WAIT.
  listenSocket.set_option(asio::socket_base::reuse_address(true), failure);
  listenSocket.bind(asio::ip::tcp::endpoint(address, port), failure);
  if (failure) {
    error.SetSystemError(ErrorNumberFrom(failure));
    return false;
  }
  listenSocket.listen(kUtilityListenBacklog, failure);
  if (!failure) boundPort = listenSocket.local_endpoint(failure).port();
  if (failure) {
    error.SetSystemError(ErrorNumberFrom(failure));
    std::error_code ignored;
    listenSocket.close(ignored);
    boundPort = 0;
    return false;
  }
  try {
    thread = std::thread([this] { AcceptLoop(); });
  } catch (const std::system_error& e) {
    error.SetSystemError(ErrorNumberFrom(e.code()));
    std::error_code ignored;
    listenSocket.close(ignored);
    boundPort = 0;
    return false;
  }
  return true;
}

void CUtilityServer::AcceptLoop() {
  for (;;) {
    auto link = std::make_unique<LineLink>();
    if (!AcceptOne(*link)) return;
    Serve(*link);
    {
      std::lock_guard<std::mutex> guard(lock);
      client = nullptr;
    }
    link.reset();  // closes the connection if an error left it open
    requestHandler(nullptr, 0, nullptr);
  }
}

bool CUtilityServer::AcceptOne(LineLink& link) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return false;
  }
  asio::ip::tcp::socket peer(link.Executor());
  std::error_code result;
  do {
    result = asio::error::operation_aborted;
    listenSocket.async_accept(peer, [&result](const std::error_code& e) { result = e; });
    io.restart();
    io.run();
    // A utility that gave up while waiting in the backlog must not end the service.
  } while (result == asio::error::connection_aborted || result == asio::error::connection_reset);
  if (result) return false;
  link.Attach(std::move(peer));
  std::lock_guard<std::mutex> guard(lock);
  client = &link;
  if (stopping) link.Abort();
  return true;
}

void CUtilityServer::Serve(LineLink& link) {
  try {
    link.receiveTimeoutMs = idleTimeout.count();
    link.Send(kUtilityGreeting);
    char request[kUtilityRequestBuffer];
    for (;;) {
      const size_t length = link.ReadLine(request, sizeof request);
      if (length == 0) break;
      std::string reply;
      requestHandler(request, static_cast<int32_t>(length), &reply);
      if (!reply.empty()) link.Send(reply);
    }
    link.Close();
  } catch (const socket_exception&) {
    // The utility is not told why; its exchange simply ends.
  }
}

}  // namespace tessamer
