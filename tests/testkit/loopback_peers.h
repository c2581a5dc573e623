#pragma once
// Loopback peers for the utility side's tests: a fake box utility port that greets, records every
// request line and answers through a script, and a plain client with bounded reads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

namespace tessamer::testing {

using namespace std::chrono_literals;

inline constexpr const char* kBoxBanner = "Vellumetric-VMC: VM-400 utility port\r\n";
// A responder's answer that makes the fake box close the connection instead of answering.
inline const std::string kCloseConnection = "\x04close";

// The IPv4 address of a dotted text in network byte order (its bytes are the dotted parts).
inline uint32_t NetworkAddress(const std::string& dotted) {
  const auto bytes = asio::ip::make_address_v4(dotted).to_bytes();
  uint32_t address = 0;
  std::memcpy(&address, bytes.data(), sizeof address);
  return address;
}

// The acknowledgement a box gives for `line` (the request with its line end).
inline std::string Acknowledge(const std::string& line) {
  return "Extended Command done " + std::to_string(line.size()) + "\r\nDone\r\n";
}

// A box's utility port on a loopback address: sends `banner` to every connection, then hands each
// received line (line end included) to the responder and sends back what it returns. One thread
// serves every connection.
class FakeUtilityBox {
 public:
  using Responder = std::function<std::string(const std::string& line)>;

  explicit FakeUtilityBox(std::string address = "127.0.0.1", std::string banner = kBoxBanner)
      : banner(std::move(banner)) {
    const asio::ip::tcp::endpoint local(asio::ip::make_address_v4(address), 0);
    acceptor.open(local.protocol());
    acceptor.bind(local);
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    this->address = NetworkAddress(address);
    Accept();
    thread = std::thread([this] { io.run(); });
  }

  ~FakeUtilityBox() {
    io.stop();
    thread.join();
  }

  void SetResponder(Responder value) {
    std::lock_guard<std::mutex> guard(mutex);
    responder = std::move(value);
  }

  uint16_t Port() const { return port; }
  uint32_t Address() const { return address; }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> guard(mutex);
    return lines;
  }
  size_t Connections() const {
    std::lock_guard<std::mutex> guard(mutex);
    return connections;
  }
  size_t Disconnections() const {
    std::lock_guard<std::mutex> guard(mutex);
    return disconnections;
  }
  bool WaitForLines(size_t count, std::chrono::milliseconds timeout = 10s) const {
    return WaitUntil([&] { return lines.size() >= count; }, timeout);
  }
  bool WaitForDisconnections(size_t count, std::chrono::milliseconds timeout = 10s) const {
    return WaitUntil([&] { return disconnections >= count; }, timeout);
  }
  bool WaitForConnections(size_t count, std::chrono::milliseconds timeout = 10s) const {
    return WaitUntil([&] { return connections >= count; }, timeout);
  }

 private:
  struct Session : std::enable_shared_from_this<Session> {
    Session(FakeUtilityBox& box, asio::ip::tcp::socket socket)
        : box(box), socket(std::move(socket)) {}
    void Start() {
      if (box.banner.empty()) return ReadLine();
      auto self = shared_from_this();
      asio::async_write(socket, asio::buffer(box.banner),
                        [self](const std::error_code& error, size_t) {
                          if (!error) self->ReadLine();
                        });
    }
    void ReadLine() {
      auto self = shared_from_this();
      asio::async_read_until(socket, input, '\n', [self](const std::error_code& error, size_t n) {
        if (error) return self->box.Count(self->box.disconnections);
        std::string line(asio::buffers_begin(self->input.data()),
                         asio::buffers_begin(self->input.data()) + static_cast<std::ptrdiff_t>(n));
        self->input.consume(n);
        self->Answer(self->box.Record(line));
      });
    }
    void Answer(std::string reply) {
      if (reply.empty()) return ReadLine();
      if (reply == kCloseConnection) {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        return box.Count(box.disconnections);
      }
      auto self = shared_from_this();
      auto text = std::make_shared<std::string>(std::move(reply));
      asio::async_write(socket, asio::buffer(*text), [self, text](const std::error_code& e, size_t) {
        if (!e) self->ReadLine();
      });
    }
    FakeUtilityBox& box;
    asio::ip::tcp::socket socket;
    asio::streambuf input;
  };

  void Accept() {
    acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket peer) {
      if (error) return;
      Count(connections);
      std::make_shared<Session>(*this, std::move(peer))->Start();
      Accept();
    });
  }

  std::string Record(const std::string& line) {
    Responder current;
    {
      std::lock_guard<std::mutex> guard(mutex);
      lines.push_back(line);
      current = responder;
    }
    changed.notify_all();
    return current ? current(line) : std::string();
  }

  void Count(size_t& counter) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      ++counter;
    }
    changed.notify_all();
  }

  template <typename Done>
  bool WaitUntil(Done done, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, timeout, done);
  }

  std::string banner;
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io};
  uint16_t port = 0;
  uint32_t address = 0;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Responder responder = [](const std::string& line) { return Acknowledge(line); };
  std::vector<std::string> lines;
  size_t connections = 0;
  size_t disconnections = 0;
};

// A plain loopback client whose reads are bounded.
class LoopbackClient {
 public:
  bool Connect(uint16_t port, const std::string& address = "127.0.0.1") {
    std::error_code error;
    socket.connect({asio::ip::make_address_v4(address), port}, error);
    return !error;
  }

  void Send(const std::string& text) { asio::write(socket, asio::buffer(text)); }

  // Reads until `count` bytes arrived, the peer closed or `timeout` passed; returns what came.
  std::string Read(size_t count, std::chrono::milliseconds timeout = 10s) {
    std::string text(count, '\0');
    size_t got = 0;
    asio::async_read(socket, asio::buffer(text), [&](const std::error_code& error, size_t n) {
      got = n;
      closed = closed || error == asio::error::eof;
    });
    Run(timeout);
    text.resize(got);
    return text;
  }

  // Reads until the peer closes; false when it has not closed within `timeout`. What arrived
  // meanwhile is appended to `extra`.
  bool WaitClosed(std::chrono::milliseconds timeout, std::string* extra = nullptr) {
    std::string text;
    auto buffer = asio::dynamic_buffer(text);
    asio::async_read(socket, buffer, [&](const std::error_code& error, size_t) {
      closed = closed || error == asio::error::eof || error == asio::error::connection_reset;
    });
    Run(timeout);
    if (extra != nullptr) *extra += text;
    return closed;
  }

  bool Closed() const { return closed; }

 private:
  void Run(std::chrono::milliseconds timeout) {
    io.restart();
    io.run_for(timeout);
    if (!io.stopped()) {
      socket.cancel();
      io.restart();
      io.run();
    }
  }

  asio::io_context io;
  asio::ip::tcp::socket socket{io};
  bool closed = false;
};

}  // namespace tessamer::testing
