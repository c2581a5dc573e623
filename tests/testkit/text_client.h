#pragma once
// A blocking TCP client for tests that speak a line protocol (viewers of the data server, a
// setpoint utility, a box's utility port): every read waits with a bound, never longer.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessamer::testkit {

using namespace std::chrono_literals;

// Threads: one thread at a time.
class TextClient {
 public:
  TextClient() = default;
  TextClient(const TextClient&) = delete;
  TextClient& operator=(const TextClient&) = delete;

  // Connects within `timeout`; false when refused or timed out.
  bool Connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout = 5s);
  bool Send(std::string_view text);
  // The next line, its "\n" (and any "\r" before it) included. False on time-out or end of stream.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout = 5s);
  // Exactly `count` bytes. False on time-out or end of stream (what came stays buffered).
  bool ReadBytes(size_t count, std::string& bytes, std::chrono::milliseconds timeout = 5s);
  // Everything until the peer closes. False when it did not close within `timeout`.
  bool ReadToEnd(std::string& bytes, std::chrono::milliseconds timeout = 5s);
  // True when the peer closed (end of stream or reset) within `timeout`; data is discarded.
  bool WaitClosed(std::chrono::milliseconds timeout = 5s);
  void Close();
  bool IsOpen() const { return socket.is_open(); }
  // Bytes received but not yet taken by a read.
  const std::string& Buffered() const { return buffer; }

 private:
  // Receives what is there (at least one byte) into `buffer` before `deadline`. False on time-out
  // or when the stream ended (`ended` is then set).
  bool Fill(std::chrono::steady_clock::time_point deadline);

  asio::io_context context;
  asio::ip::tcp::socket socket{context};
  std::string buffer;
  bool ended = false;
};

}  // namespace tessamer::testkit
