#pragma once
// The blocking TCP line link of the setpoint utility side: connect with a time-out, send, receive
// with a time-out, read lines, capture what was received and optionally log the traffic.
//
// Every blocking step starts an asynchronous operation on the link's own io_context together with
// a steady_timer and runs the context until one of them completes, so a wait ends either by its
// event, its time-out or Abort. Failures are thrown as the exception family of
// support/exceptions.h; callers catch them at the edge of their own operations.
//
// Threads: one thread at a time uses a link. Abort alone may be called from any other thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace tessamer {

inline constexpr int64_t kLinkDefaultTimeoutMs = 3000;       // receive and connect, after Reset
inline constexpr size_t kLineBufferSize = 4096;              // read-ahead, at most 4095 bytes held
inline constexpr size_t kCaptureLimit = 4 * 1024 * 1024;     // capture stops growing at 4 MiB
inline constexpr size_t kDrainChunk = 512;                   // DrainInput reads this much at a time
inline constexpr auto kLinkClosePauseMs = 100;               // pause after closing a connection

class LineLink {
 public:
  LineLink();
  ~LineLink();
  LineLink(const LineLink&) = delete;
  LineLink& operator=(const LineLink&) = delete;

  // Connects to `address` (IPv4, network byte order) and `port` (host order). A non-empty
  // `logFileName` opens (appending) the traffic log first. A refused connection is not reported
  // at once: it ends as timeout_exception once connectTimeoutMs has passed, as an unanswered one.
  // Throws already_connected_exception while connected (the connection stays as it was),
  // logfile_exception, connect_exception or timeout_exception.
  bool Connect(uint32_t address, uint16_t port, const std::wstring& logFileName);

  // Sends all `count` bytes; returns count. Throws socket_exception.
  size_t Send(const char* bytes, size_t count);
  size_t Send(std::string_view text) { return Send(text.data(), text.size()); }

  // Receives up to `size` bytes: their number (> 0), 0 when receiveTimeoutMs passed without data.
  // Throws socket_exception (10057 when the peer closed).
  size_t Receive(char* buffer, size_t size);

  // Copies the next line, without its line end, into `out` (at most size - 1 characters, the
  // rest of a longer line is dropped) and zero-terminates it. Returns its length: 0 for an empty
  // line or a time-out. Throws socket_exception.
  size_t ReadLine(char* out, size_t size);

  // 1 readable, 0 time-out, -1 failure; 1 at once when receiveTimeoutMs is 0 or less.
  int WaitReadable();

  // Reads and discards whatever has arrived, without waiting. Throws socket_exception.
  void DrainInput();

  // Shuts the connection down, closes it, resets the link and pauses 100 ms. Nothing when closed.
  void Close();

  // Closed socket, no capture or discarding, time-outs 3000 ms, empty read-ahead. Keeps the
  // capture text and the log.
  void Reset();

  // Ends every wait in progress or to come with socket_exception (interrupted). Threads: any.
  // Final for this link.
  void Abort();

  bool IsOpen() const { return socket.is_open(); }

  int64_t receiveTimeoutMs = kLinkDefaultTimeoutMs;  // 0 or less: no limit
  int64_t connectTimeoutMs = kLinkDefaultTimeoutMs;
  bool captureEnabled = false;     // received bytes are appended to capture
  bool discardBeforeSend = false;  // buffered unread input is dropped before each send
  std::string capture;             // received bytes collected for the owner, up to kCaptureLimit

 private:
  // Runs the context until `done` or the time-out (ms, 0 or less: none). Returns false on time-out.
  bool RunUntil(const bool& done, int64_t timeoutMs);
  int WaitReadableFor(int64_t timeoutMs);  // 1 ready, 0 time-out, -1 failure; 0 or less: no limit
  bool HasInputOrEnd();  // a non-blocking peek: bytes or the peer's end are waiting
  void ThrowIfAborted() const;
  void WaitOutRefusal(std::chrono::steady_clock::time_point deadline);
  void OpenLog(const std::wstring& fileName);
  void Log(std::string_view tag, std::string_view bytes);
  void CloseSocket();

  asio::io_context io;                 // the link's own context, run only by the calling thread
  asio::ip::tcp::socket socket{io};    // closed while the link is not connected
  asio::steady_timer timer{io};        // the time-out of the step in progress
  std::atomic<bool> aborted{false};
  std::array<char, kLineBufferSize> lineBuffer{};
  size_t readPos = 0;                  // unconsumed data is [readPos, writePos)
  size_t writePos = 0;
  std::FILE* logFile = nullptr;        // the traffic log, none when null
};

}  // namespace tessamer
