#include "testkit/text_client.h"

namespace tessamer::testkit {

namespace {
using Clock = std::chrono::steady_clock;

// Runs one asynchronous step on `context` until it completes or `deadline` passes, when the
// socket's operations are cancelled. `start` begins the step with the handler it is given.
template <typename Start>
asio::error_code RunBounded(asio::io_context& context, asio::ip::tcp::socket& socket,
                            Clock::time_point deadline, Start start) {
  asio::error_code result = asio::error::would_block;
  asio::steady_timer timer(context, deadline);
  start([&](const asio::error_code& e) {
    result = e;
    timer.cancel();
  });
  timer.async_wait([&](const asio::error_code& e) {
    if (!e) socket.cancel();
  });
  context.restart();
  context.run();
  return result;
}
}  // namespace

bool TextClient::Connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
                         int receiveBuffer) {
  Close();
  asio::error_code bad;
  const auto ip = asio::ip::make_address(address, bad);
  if (bad) return false;
  socket.open(ip.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), bad);
  if (bad) return false;
  if (receiveBuffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer), bad);
  const asio::error_code result = RunBounded(
      context, socket, Clock::now() + timeout,
      [&](auto done) { socket.async_connect({ip, port}, done); });
  ended = false;
  endError = {};
  buffer.clear();
  if (result) {
    Close();
    return false;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), bad);
  return true;
}

bool TextClient::Send(std::string_view text, std::chrono::milliseconds timeout) {
  if (!socket.is_open()) return false;
  return !RunBounded(context, socket, Clock::now() + timeout, [&](auto done) {
    asio::async_write(socket, asio::buffer(text.data(), text.size()),
                      [done](const asio::error_code& e, size_t) { done(e); });
  });
}

bool TextClient::Fill(Clock::time_point deadline) {
  if (ended || !socket.is_open()) return false;
  char chunk[4096];
  size_t received = 0;
  const asio::error_code result = RunBounded(context, socket, deadline, [&](auto done) {
    socket.async_read_some(asio::buffer(chunk), [&, done](const asio::error_code& e, size_t n) {
      received = n;
      done(e);
    });
  });
  buffer.append(chunk, received);
  if (result && result != asio::error::operation_aborted) {
    ended = true;
    endError = result;
  }
  return received > 0;
}

bool TextClient::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t end;
  while ((end = buffer.find('\n')) == std::string::npos) {
    if (!Fill(deadline)) return false;
  }
  line = buffer.substr(0, end + 1);
  buffer.erase(0, end + 1);
  return true;
}

bool TextClient::ReadBytes(size_t count, std::string& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (buffer.size() < count) {
    if (!Fill(deadline)) return false;
  }
  bytes = buffer.substr(0, count);
  buffer.erase(0, count);
  return true;
}

bool TextClient::ReadToEnd(std::string& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ended) {
    if (!Fill(deadline) && !ended) return false;
  }
  bytes = std::move(buffer);
  buffer.clear();
  return true;
}

bool TextClient::WaitClosed(std::chrono::milliseconds timeout) {
  std::string ignored;
  return ReadToEnd(ignored, timeout);
}

bool TextClient::ReceiveUntil(const std::function<bool(const std::string& buffered)>& done,
                              std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done(buffer)) {
    if (!Fill(deadline)) return false;
  }
  return true;
}

bool TextClient::WaitForBytes(size_t count, std::chrono::milliseconds timeout) {
  return ReceiveUntil([count](const std::string& buffered) { return buffered.size() >= count; }, timeout);
}

void TextClient::Close() {
  asio::error_code ignored;
  socket.close(ignored);
}

}  // namespace tessamer::testkit
