#pragma once
// The TCP link to one logger box: a client connection opened with a bounded connect time-out,
// kept alive by TCP keep-alive, read with a per-call receive time-out and written with a send
// loop. Every blocking step runs on the link's own io_context:
//
//     caller thread                     any thread
//     -------------                     ----------
//     start async op + deadline  <----  Abort / Close: set a flag, post a wake-up
//     run_one() until op done,
//       deadline passed or flag set
//     cancel the rest, drain handlers
//
// so a wait ends as soon as its operation completes, its time-out passes, or another thread
// aborts or closes the link.
//
// Receive time-outs over the life of one link: `firstReceive` until the first waited receive of
// the first connection, `receiveAfterClose` after any Close until the first waited receive of the
// next connection, `receive` for every later one.
//
// Threads: Open, Read and Write run on one thread at a time and hold `operationLock` while they
// work. Abort never blocks. Close from another thread wakes the operation in progress and waits
// for it to return before it closes the socket; the io_context and the socket are touched only
// by the thread holding `operationLock`.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <asio.hpp>

#include "acquisition/device.h"
#include "hub/core/hub_config.h"

namespace tessamer {

// "Trying to connect to: %X:%ld": the address's four bytes in network order read as one
// little-endian number, upper-case hexadecimal without leading zeros, then the port.
std::wstring TryingToConnectText(const std::array<uint8_t, 4>& address, int32_t port);

class CTcpDevice : public CDevice {
 public:
  // Copies `options`; nothing is resolved or connected until Open.
  explicit CTcpDevice(const TcpOptions& options, const AcquisitionTimeouts& timeouts = {});
  ~CTcpDevice() override;

  // Resolves the host and tries each IPv4 address once (IPv6 entries are skipped), each with the
  // connect time-out. After a failed resolution and after each failed attempt `error` is also
  // copied into `failure`.
  bool Open(ErrorInfo& failure) override;
  void Close() override;
  int Read(char* buffer, int size) override;
  int Write(const char* data, int size) override;
  void Abort(int32_t reason) override;

  void SetReceiveTimeout(std::chrono::milliseconds timeout) { receiveTimeout = timeout; }
  std::chrono::milliseconds ReceiveTimeout() const { return receiveTimeout.load(); }
  bool IsConnected() const override { return connected.load(); }

 private:
  // Opens the socket. False with `error` set when it cannot be created.
  bool CreateSocket();
  // One connection attempt to one resolved address.
  bool ConnectTo(const asio::ip::tcp::endpoint& entry);

  enum class Wait { Completed, TimedOut, Interrupted };

  // Runs the context until `done` is set, `timeout` passes or Abort/Close interrupts; then
  // cancels whatever is left and runs its handlers. Caller holds `operationLock`.
  Wait RunUntil(const bool& done, std::optional<std::chrono::milliseconds> timeout);
  bool Interrupted() const { return aborted.load() || closeRequests.load() > 0; }
  void Wake();
  void CloseLocked();
  bool SwitchKeepAliveOn();
  int ReadWaited(char* buffer, int size);
  int ReadEnded(const std::error_code& failure);

  const AcquisitionTimeouts timeouts;
  std::atomic<std::chrono::milliseconds> receiveTimeout;
  std::atomic<bool> aborted{false};     // set by Abort, never cleared
  std::atomic<bool> connected{false};   // connected and keep-alive switched on
  std::atomic<int> closeRequests{0};    // Close calls from other threads waiting for the lock
  bool firstReceive = true;             // no waited receive has completed on this connection

  std::mutex operationLock;             // held by Open, Read, Write and Close
  asio::io_context context;
  asio::ip::tcp::socket socket{context};
  asio::steady_timer deadline{context};
};

}  // namespace tessamer
