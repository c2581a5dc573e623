#include "testkit/text_client.h"

namespace tessamer::testkit {

namespace {
using Clock = std::chrono::steady_clock;
}

bool TextClient::Connect(const std::string& address, uint16_t port, std::chrono::milliseconds timeout) {
  Close();
  asio::error_code bad;
  const auto ip = asio::ip::make_address(address, bad);
  if (bad) return false;
  asio::error_code result = asio::error::would_block;
  asio::steady_timer timer(context, timeout);
  socket.async_connect({ip, port}, [&](const asio::error_code& e) {
    result = e;
    timer.cancel();
  });
  timer.async_wait([&](const asio::error_code& e) {
    if (!e) socket.cancel();
  });
  context.restart();
  context.run();
  ended = false;
  buffer.clear();
  if (result) {
    Close();
    return false;
  }
  return true;
}

bool TextClient::Send(std::string_view text) {
  asio::error_code error;
  asio::write(socket, asio::buffer(text.data(), text.size()), error);
  return !error;
}

bool TextClient::Fill(Clock::time_point deadline) {
  if (ended || !socket.is_open()) return false;
  char chunk[4096];
  size_t received = 0;
  asio::error_code result = asio::error::would_block;
  asio::steady_timer timer(context, deadline);
  socket.async_read_some(asio::buffer(chunk), [&](const asio::error_code& e, size_t n) {
    result = e;
    received = n;
    timer.cancel();
  });
  timer.async_wait([&](const asio::error_code& e) {
    if (!e) socket.cancel();
  });
  context.restart();
  context.run();
  buffer.append(chunk, received);
  if (result && result != asio::error::operation_aborted) ended = true;
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

void TextClient::Close() {
  asio::error_code ignored;
  socket.close(ignored);
}

}  // namespace tessamer::testkit
