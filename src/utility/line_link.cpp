#include "utility/line_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <asio/post.hpp>
#include <asio/write.hpp>

#include "support/error_numbers.h"
#include "support/exceptions.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {

namespace {

std::chrono::milliseconds Ms(int64_t value) { return std::chrono::milliseconds(value); }

}  // namespace

LineLink::LineLink() { Reset(); }

LineLink::~LineLink() {
  Close();
  if (logFile != nullptr) {
    Log("XX:", "Closing file");
    std::fclose(logFile);
    logFile = nullptr;
  }
}

void LineLink::Reset() {
  CloseSocket();
  captureEnabled = false;
  discardBeforeSend = false;
  receiveTimeoutMs = kLinkDefaultTimeoutMs;
  connectTimeoutMs = kLinkDefaultTimeoutMs;
  readPos = 0;
  writePos = 0;
  lineBuffer[0] = 0;
}

void LineLink::Abort() {
  aborted = true;
  asio::post(io, [this] {
    std::error_code ignored;
    socket.cancel(ignored);
    timer.cancel();
  });
}

void LineLink::ThrowIfAborted() const {
  if (aborted) throw socket_exception(kWsaInterrupted);
}

bool LineLink::RunUntil(const bool& done, int64_t timeoutMs) {
  bool expired = false;
  if (timeoutMs > 0) {
    timer.expires_after(Ms(timeoutMs));
    timer.async_wait([this, &expired, &done](const std::error_code& error) {
      if (error || done) return;
      expired = true;
      std::error_code ignored;
      socket.cancel(ignored);
    });
  }
  io.restart();
  io.run();
  return !expired;
}

void LineLink::CloseSocket() {
  if (!socket.is_open()) return;
  std::error_code ignored;
  socket.close(ignored);
}

void LineLink::WaitOutRefusal(std::chrono::steady_clock::time_point deadline) {
  timer.expires_at(deadline);
  timer.async_wait([](const std::error_code&) {});
  io.restart();
  io.run();
}

bool LineLink::Connect(uint32_t address, uint16_t port, const std::wstring& logFileName) {
  if (socket.is_open()) throw already_connected_exception();
  ThrowIfAborted();
  if (!logFileName.empty() && logFile == nullptr) OpenLog(logFileName);

  std::error_code error;
  socket.open(asio::ip::tcp::v4(), error);
  if (error) throw connect_exception(ErrorNumberFrom(error));

  const auto deadline = std::chrono::steady_clock::now() + Ms(connectTimeoutMs);
  // The address arrives in network byte order: its bytes in memory are the dotted parts.
  asio::ip::address_v4::bytes_type bytes;
  std::memcpy(bytes.data(), &address, bytes.size());
  const asio::ip::tcp::endpoint peer(asio::ip::address_v4(bytes), port);

  bool done = false;
  std::error_code result;
  socket.async_connect(peer, [this, &done, &result](const std::error_code& e) {
    done = true;
    result = e;
    timer.cancel();
  });
  const bool inTime = RunUntil(done, connectTimeoutMs);

  if (!result) return true;
  CloseSocket();
  ThrowIfAborted();
  if (!inTime) throw timeout_exception();
  if (result == asio::error::connection_refused && connectTimeoutMs > 0) {
    // A refusal is never seen as a completed connection: it ends like an unanswered connect.
    WaitOutRefusal(deadline);
    ThrowIfAborted();
    throw timeout_exception();
  }
  throw connect_exception(ErrorNumberFrom(result));
}

size_t LineLink::Send(const char* bytes, size_t count) {
  if (discardBeforeSend) {
    readPos = 0;
    writePos = 0;
    lineBuffer[0] = 0;
  }
  ThrowIfAborted();
  if (!socket.is_open()) throw socket_exception(kWsaNotSocket);
  size_t sent = 0;
  while (sent < count) {
    bool done = false;
    std::error_code result;
    size_t written = 0;
    socket.async_write_some(asio::buffer(bytes + sent, count - sent),
                            [&](const std::error_code& e, size_t n) {
                              done = true;
                              result = e;
                              written = n;
                            });
    RunUntil(done, 0);
    ThrowIfAborted();
    if (result) throw socket_exception(ErrorNumberFrom(result));
    Log("TX:", std::string_view(bytes + sent, written));
    sent += written;
  }
  return count;
}

int LineLink::WaitReadable() {
  if (receiveTimeoutMs <= 0) return 1;
  return WaitReadableFor(receiveTimeoutMs);
}

int LineLink::WaitReadableFor(int64_t timeoutMs) {
  ThrowIfAborted();
  if (!socket.is_open()) return -1;
  const auto deadline = std::chrono::steady_clock::now() + Ms(timeoutMs);
  for (;;) {
    bool done = false;
    std::error_code result;
    socket.async_wait(asio::ip::tcp::socket::wait_read, [&](const std::error_code& e) {
      done = true;
      result = e;
      timer.cancel();
    });
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const bool inTime = RunUntil(done, timeoutMs > 0 ? std::max<int64_t>(left.count(), 1) : 0);
    ThrowIfAborted();
    if (result) return inTime ? -1 : 0;
    if (HasInputOrEnd()) return 1;
    // A readiness reported for bytes that were read meanwhile: wait for the next ones.
    if (timeoutMs > 0 && std::chrono::steady_clock::now() >= deadline) return 0;
  }
}

bool LineLink::HasInputOrEnd() {
  std::error_code error;
  socket.non_blocking(true, error);
  if (error) return true;  // let the following receive report the failure
  char probe;
  socket.receive(asio::buffer(&probe, 1), asio::socket_base::message_peek, error);
  std::error_code ignored;
  socket.non_blocking(false, ignored);
  return error != asio::error::would_block && error != asio::error::try_again;
}

size_t LineLink::Receive(char* buffer, size_t size) {
  ThrowIfAborted();
  if (!socket.is_open()) throw socket_exception(kWsaNotSocket);
  if (size == 0) return 0;
  bool done = false;
  std::error_code result;
  size_t received = 0;
  socket.async_read_some(asio::buffer(buffer, size), [&](const std::error_code& e, size_t n) {
    done = true;
    result = e;
    received = n;
    timer.cancel();
  });
  const bool inTime = RunUntil(done, receiveTimeoutMs);
  if (result || received == 0) {
    ThrowIfAborted();
    if (!inTime) return 0;
    if (result == asio::error::eof || !result) throw socket_exception(kWsaNotConnected);
    throw socket_exception(ErrorNumberFrom(result));
  }
  if (captureEnabled && capture.size() < kCaptureLimit) capture.append(buffer, received);
  Log("RX:", std::string_view(buffer, received));
  return received;
}

size_t LineLink::ReadLine(char* out, size_t size) {
  if (size == 0) return 0;  // nothing can be stored, not even the terminating zero
  out[0] = 0;
  out[size - 1] = 0;
  constexpr size_t kHeld = kLineBufferSize - 1;
  for (;;) {
    if (writePos > readPos) {
      const char* begin = lineBuffer.data() + readPos;
      const void* feed = std::memchr(begin, '\n', writePos - readPos);
      if (feed != nullptr) {
        const size_t q = static_cast<size_t>(static_cast<const char*>(feed) - lineBuffer.data());
        size_t n = std::min(size - 1, q - readPos);
        if (n > 0 && (begin[n - 1] == '\r' || begin[n - 1] == '\n')) --n;
        std::memcpy(out, begin, n);
        out[n] = 0;
        if (q + 1 >= writePos) {
          readPos = 0;
          writePos = 0;
        } else {
          readPos = q + 1;
        }
        return n;
      }
      if (writePos >= kHeld) {
        if (readPos != 0) {
          std::memmove(lineBuffer.data(), begin, writePos - readPos);
          writePos -= readPos;
          readPos = 0;
        } else {
          writePos = 0;  // 4095 bytes without a line feed are dropped
        }
      }
    }
    const size_t received = Receive(lineBuffer.data() + writePos, kHeld - writePos);
    if (received < 1) return received;
    writePos += received;
    lineBuffer[writePos] = 0;
  }
}

void LineLink::DrainInput() {
  ThrowIfAborted();
  if (!socket.is_open()) throw socket_exception(kWsaNotSocket);
  std::error_code error;
  socket.non_blocking(true, error);
  if (error) throw socket_exception(ErrorNumberFrom(error));
  char chunk[kDrainChunk];
  for (;;) {
    const size_t received = socket.read_some(asio::buffer(chunk), error);
    if (!error) {
      Log("RX:", std::string_view(chunk, received));
      continue;
    }
    std::error_code ignored;
    if (error == asio::error::would_block || error == asio::error::try_again) {
      socket.non_blocking(false, error);
      if (error) throw socket_exception(ErrorNumberFrom(error));
      return;
    }
    socket.non_blocking(false, ignored);
    if (error == asio::error::eof) throw socket_exception(kWsaNotConnected);
    throw socket_exception(ErrorNumberFrom(error));
  }
}

void LineLink::Close() {
  if (!socket.is_open()) return;
  std::error_code ignored;
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  Reset();
  std::this_thread::sleep_for(Ms(kLinkClosePauseMs));
}

void LineLink::OpenLog(const std::wstring& fileName) {
  logFile = std::fopen(Narrow(fileName).c_str(), "ab");
  if (logFile == nullptr) throw logfile_exception(ErrorNumberFromErrno(errno));
  Log("OP:", "File opened");
}

void LineLink::Log(std::string_view tag, std::string_view bytes) {
  if (logFile == nullptr) return;
  std::string line = Narrow(TimeOfDayText());
  line += ' ';
  line += tag;
  line += bytes;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), logFile);
  std::fflush(logFile);
}

}  // namespace tessamer
