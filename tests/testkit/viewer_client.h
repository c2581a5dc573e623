#pragma once
// A viewer stand-in for data server tests: a loopback TCP client that sends what it is told and
// collects what it receives, every wait bounded.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include <asio.hpp>

namespace tessamer::testkit {

class ViewerClient {
 public:
  // Connects to 127.0.0.1:`port`. A `receiveBuffer` above 0 shrinks the socket's receive buffer
  // first (a viewer that reads slowly fills up sooner).
  explicit ViewerClient(uint16_t port, int receiveBuffer = 0) : socket(io) {
    socket.open(asio::ip::tcp::v4());
    if (receiveBuffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    socket.set_option(asio::ip::tcp::no_delay(true));
  }

  void Send(std::string_view bytes) { asio::write(socket, asio::buffer(bytes)); }
  uint16_t LocalPort() const { return socket.local_endpoint().port(); }
  void Close() {
    asio::error_code ignored;
    socket.close(ignored);
  }

  // Receives until `done` holds, the connection ends, or `timeout` passes. True when `done` held.
  bool ReceiveUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (ended) return false;
      if (!reading) {
        reading = true;
        socket.async_read_some(asio::buffer(chunk), [this](asio::error_code failure, size_t n) {
          reading = false;
          received.append(chunk, n);
          if (failure) {
            ended = true;
            endError = failure;
          }
        });
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      io.restart();
      io.run_one_for(deadline - now);
    }
    return true;
  }
  bool ReceiveBytes(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return ReceiveUntil([&] { return received.size() >= count; }, timeout);
  }
  // Receives until the server ends the connection; endError then says how.
  bool ReceiveToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    ReceiveUntil([] { return false; }, timeout);
    return ended;
  }

  std::string received;
  bool ended = false;
  asio::error_code endError;

 private:
  asio::io_context io;
  asio::ip::tcp::socket socket;
  bool reading = false;
  char chunk[65536];
};

}  // namespace tessamer::testkit
