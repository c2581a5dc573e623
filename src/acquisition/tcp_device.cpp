#include "acquisition/tcp_device.h"

#include <string_view>
#include <utility>

#include "support/error_numbers.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {
namespace {

constexpr int32_t kConnectTimedOut = 1;  // the link's own code for a connect time-out

void Log(const std::wstring& line) { DiagnosticLog().WriteLine(line); }

std::wstring DottedAddress(const asio::ip::tcp::endpoint& entry) {
  return Widen(entry.address().to_v4().to_string());
}

void CopyError(const ErrorInfo& from, ErrorInfo& to) {
  to.failed = from.failed;
  to.code = from.code;
  to.text = from.text;
}

}  // namespace

std::wstring TryingToConnectText(const std::array<uint8_t, 4>& address, int32_t port) {
  const uint32_t asInMemory = static_cast<uint32_t>(address[0]) |
                              static_cast<uint32_t>(address[1]) << 8 |
                              static_cast<uint32_t>(address[2]) << 16 |
                              static_cast<uint32_t>(address[3]) << 24;
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring hex;
  uint32_t rest = asInMemory;
  do {
    hex.insert(hex.begin(), kDigits[rest & 0xF]);
    rest >>= 4;
  } while (rest != 0);
  return L"Trying to connect to: " + hex + L":" + std::to_wstring(port);
}

CTcpDevice::CTcpDevice(const TcpOptions& options, const AcquisitionTimeouts& timeouts)
    : CDevice(options),
      timeouts(timeouts),
      receiveTimeout(timeouts.firstReceive) {}

CTcpDevice::~CTcpDevice() { Close(); }

void CTcpDevice::Wake() {
  // The posted handler does nothing: it only makes a waiting run_one() return so the waiter
  // re-checks the flags. A stale one left in the queue costs one extra turn of a later wait.
  asio::post(context, [] {});
}

void CTcpDevice::Abort(int32_t reason) {
  aborted = true;
  Wake();
  abortReason = reason;
}

void CTcpDevice::Close() {
  ++closeRequests;
  Wake();
  std::lock_guard guard(operationLock);
  --closeRequests;
  CloseLocked();
}

void CTcpDevice::CloseLocked() {
  std::error_code ignored;
  if (socket.is_open()) socket.close(ignored);
  receiveTimeout = timeouts.receiveAfterClose;
  connected = false;
}

CTcpDevice::Wait CTcpDevice::RunUntil(const bool& done,
                                      std::optional<std::chrono::milliseconds> timeout) {
  bool timedOut = false;
  bool timerPending = false;
  context.restart();
  if (timeout) {
    timerPending = true;
    deadline.expires_after(*timeout);
    deadline.async_wait([&](const std::error_code& failure) {
      timerPending = false;
      if (!failure) timedOut = true;
    });
  }
  while (!done && !timedOut && !Interrupted()) {
    if (context.run_one() == 0) break;  // out of work: nothing left to wait for
  }
  const Wait result = done ? Wait::Completed : timedOut ? Wait::TimedOut : Wait::Interrupted;
  // Finish every handler of this step before the next step starts.
  if (timerPending) deadline.cancel();
  if (!done) {
    std::error_code ignored;
    if (socket.is_open()) socket.cancel(ignored);
  }
  context.restart();
  context.run();
  return result;
}

bool CTcpDevice::CreateSocket() {
  std::error_code failure;
  socket.open(asio::ip::tcp::v4(), failure);
  if (failure) {
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure)));
    return false;
  }
  return true;
}

bool CTcpDevice::SwitchKeepAliveOn() {
  std::error_code failure;
  socket.set_option(asio::socket_base::keep_alive(true), failure);
  if (failure) {
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure)));
    return false;
  }
  connected = true;
  return true;
}

bool CTcpDevice::Open(ErrorInfo& failure) {
  std::lock_guard guard(operationLock);
  const std::string service = std::to_string(options.port);
  asio::ip::tcp::resolver resolver(context);
  std::error_code resolveFailure;
  const auto entries = resolver.resolve(Narrow(options.host), service,
                                        asio::ip::resolver_base::flags(), resolveFailure);
  if (resolveFailure) {
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(resolveFailure)),
                         L"Address could not be resolved");
    CopyError(error, failure);
    return false;
  }
  if (!socket.is_open() && !CreateSocket()) return false;

  for (const auto& entry : entries) {
    if (aborted) break;  // an aborted link makes no further attempts
    const asio::ip::tcp::endpoint endpoint = entry.endpoint();
    if (!endpoint.address().is_v4()) continue;
    Log(TryingToConnectText(endpoint.address().to_v4().to_bytes(), options.port));
    if (ConnectTo(endpoint)) return true;
    CopyError(error, failure);
  }
  return false;
}

bool CTcpDevice::ConnectTo(const asio::ip::tcp::endpoint& entry) {
  connected = false;
  firstReceive = true;
  error.Clear();
  // A socket whose earlier attempt failed is not portable to connect again: start afresh.
  if (!socket.is_open() && !CreateSocket()) return false;

  bool done = false;
  std::error_code result;
  socket.async_connect(entry, [&](const std::error_code& failure) {
    result = failure;
    done = true;
  });
  Log(L"WSAConnect, waiting for WSAEINPROGRESS");
  const Wait wait = RunUntil(done, timeouts.connect);

  if (wait == Wait::TimedOut) {
    CloseLocked();
    Log(L"Connect, WaitForSingleObject timed out");
    error.Set(kConnectTimedOut,
              L"Timeout occurred while connecting to IP: " + DottedAddress(entry) +
                  L"\r\n\r\nYou can change Vellumetric address using the Vellumetric Hardware "
                  L"menu.");
    return false;
  }
  if (wait == Wait::Interrupted || aborted) {
    // Aborted or closed by another thread: no error of the link's own. The half-open socket
    // is of no further use.
    std::error_code ignored;
    socket.close(ignored);
    return false;
  }
  const int number = ErrorNumberFrom(result);
  if (number == 0 || number == kWsaIsConnected) {
    if (number == 0) Log(L"connected, setting keep alive");
    return SwitchKeepAliveOn();
  }
  const std::wstring phrase = L"connecting to IP: " + DottedAddress(entry);
  Log(phrase + L" failed. Error code: " + std::to_wstring(number));
  error.SetSystemError(static_cast<uint32_t>(number), phrase.c_str());
  std::error_code ignored;
  socket.close(ignored);  // the next attempt opens a new socket; the receive time-out stays
  return false;
}

int CTcpDevice::Read(char* buffer, int size) {
  if (aborted) return -2;
  std::lock_guard guard(operationLock);
  if (aborted) return -2;
  if (size <= 0) return 0;
  std::error_code failure;
  if (!socket.is_open()) {
    error.SetSystemError(kWsaNotSocket);
    return -1;
  }
  // A receive that can complete at once does not wait and leaves the time-out as it is.
  if (!socket.non_blocking()) socket.non_blocking(true, failure);
  size_t received = 0;
  if (!failure) {
    received = socket.receive(asio::buffer(buffer, static_cast<size_t>(size)), 0, failure);
  }
  if (failure == asio::error::would_block || failure == asio::error::try_again) {
    return ReadWaited(buffer, size);
  }
  if (failure == asio::error::eof) return ReadEnded({});
  if (failure) {
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure)));
    return -1;
  }
  if (received == 0) return ReadEnded({});
  return static_cast<int>(received);
}

int CTcpDevice::ReadWaited(char* buffer, int size) {
  bool done = false;
  std::error_code result;
  size_t received = 0;
  socket.async_receive(asio::buffer(buffer, static_cast<size_t>(size)),
                       [&](const std::error_code& failure, size_t count) {
                         result = failure;
                         received = count;
                         done = true;
                       });
  const std::chrono::milliseconds timeout = receiveTimeout.load();
  const Wait wait = RunUntil(done, timeout);
  if (wait == Wait::TimedOut) {
    Log(L"Waiting for data, WaitForSingleObject timed out after " +
        std::to_wstring(timeout.count() / 1000) + L" seconds");
    CloseLocked();
    error.Set(0, L"A timeout occurred while waiting to receive data.");
    return -1;
  }
  if (aborted) return -3;
  // The receive's handler has run by now: a receive cut short by Close ends with an error.
  if (wait == Wait::Completed && firstReceive) {
    firstReceive = false;
    receiveTimeout = timeouts.receive;
  }
  if (received > 0) return static_cast<int>(received);
  return ReadEnded(result == asio::error::eof ? std::error_code() : result);
}

int CTcpDevice::ReadEnded(const std::error_code& failure) {
  const int number = ErrorNumberFrom(failure);
  Log(L"0 bytes read from connection. Error code: " + std::to_wstring(number));
  if (number != 0) {
    error.SetSystemError(static_cast<uint32_t>(number));
  } else {
    error.Set(0, L"The device has closed the connection");
  }
  return 0;
}

int CTcpDevice::Write(const char* data, int size) {
  if (size <= 0) return 0;
  std::lock_guard guard(operationLock);
  if (!socket.is_open()) {
    error.SetSystemError(kWsaNotSocket, L"Sending data");
    return -1;
  }
  // The link waits for room rather than failing on a full send buffer; Abort or Close ends
  // the wait.
  bool done = false;
  std::error_code result;
  size_t sent = 0;
  asio::async_write(socket, asio::buffer(data, static_cast<size_t>(size)),
                    [&](const std::error_code& failure, size_t count) {
                      result = failure;
                      sent = count;
                      done = true;
                    });
  // The write's handler has run by now; one cut short by Abort or Close reports the error.
  RunUntil(done, std::nullopt);
  if (result) {
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(result)), L"Sending data");
    return -1;
  }
  return static_cast<int>(sent);
}

}  // namespace tessamer
