#pragma once
// The line client of the tests: a blocking TCP client for whatever speaks a line protocol (viewers
// of the data server, a setpoint utility, a box's utility port). Every wait has a bound, never
// longer. What arrives is kept until a read takes it, so a test may also wait for the received
// text to reach a state (WaitForBytes, ReceiveUntil) and then look at all of it (Buffered).

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
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

  // Connects within `timeout`; false when refused or timed out. A `receiveBuffer` above 0 shrinks
  // the socket's receive buffer first (a viewer that reads slowly fills up sooner).
  bool Connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout = 5s,
               int receiveBuffer = 0);
  // Sends all of `text`; false when the connection failed or the peer did not take it all within
  // `timeout` (a peer that stops reading).
  bool Send(std::string_view text, std::chrono::milliseconds timeout = 10s);
  // The next line, its "\n" (and any "\r" before it) included. False on time-out or end of stream.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout = 5s);
  // Exactly `count` bytes. False on time-out or end of stream (what came stays buffered).
  bool ReadBytes(size_t count, std::string& bytes, std::chrono::milliseconds timeout = 5s);
  // Everything until the peer closes. False when it did not close within `timeout`.
  bool ReadToEnd(std::string& bytes, std::chrono::milliseconds timeout = 5s);
  // True when the peer closed (end of stream or reset) within `timeout`; data is discarded.
  bool WaitClosed(std::chrono::milliseconds timeout = 5s);
  // Receives, keeping everything, until `done(Buffered())` holds; false when the stream ended or
  // `timeout` passed first.
  bool ReceiveUntil(const std::function<bool(const std::string& buffered)>& done,
                    std::chrono::milliseconds timeout = 10s);
  // Receives until at least `count` bytes are buffered.
  bool WaitForBytes(size_t count, std::chrono::milliseconds timeout = 10s);
  // How the stream ended (asio::error::eof, connection_reset, ...); no error while it runs.
  asio::error_code EndError() const { return endError; }
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
  asio::error_code endError;
};

}  // namespace tessamer::testkit
