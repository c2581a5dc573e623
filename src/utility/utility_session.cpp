#include "utility/utility_session.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include <asio/write.hpp>

namespace tessamer {

CUtilitySession::CUtilitySession(asio::ip::tcp::socket socket, IUtilitySessionOwner& owner,
                                 std::chrono::milliseconds idleTimeout,
                                 std::chrono::milliseconds lineTimeout)
    : socket(std::move(socket)),
      deadline(this->socket.get_executor()),
      owner(owner),
      idleTimeout(idleTimeout),
      lineTimeout(lineTimeout) {}

void CUtilitySession::Start() {
  state = State::Greeting;
  Send(kUtilityGreeting, &CUtilitySession::ReadNextLine);
}

void CUtilitySession::Refuse() {
  state = State::Greeting;
  Send(kUtilityGreeting, &CUtilitySession::End);
}

void CUtilitySession::Replied(std::string text) {
  if (state != State::Waiting) return;  // ended while its request ran
  if (text.empty()) return ReadNextLine();
  reply = std::move(text);
  state = State::Replying;
  Send(reply, &CUtilitySession::ReadNextLine);
}

void CUtilitySession::Stop() { End(); }

void CUtilitySession::Send(std::string_view bytes, void (CUtilitySession::*next)()) {
  ArmDeadline(idleTimeout);
  asio::async_write(socket, asio::buffer(bytes.data(), bytes.size()),
                    [self = shared_from_this(), next](const std::error_code& error, size_t) {
                      if (self->state == State::Ended) return;
                      if (error) return self->End();
                      self->DisarmDeadline();
                      ((*self).*next)();
                    });
}

void CUtilitySession::ReadNextLine() {
  state = State::Reading;
  line.clear();
  lineStarted = false;
  if (TakeLine()) return OnLine();
  ReceiveMore();
}

void CUtilitySession::ReceiveMore() {
  if (!lineStarted) ArmDeadline(idleTimeout);
  socket.async_read_some(asio::buffer(chunk),
                         [self = shared_from_this()](const std::error_code& error, size_t n) {
                           if (self->state == State::Ended) return;
                           if (error) return self->End();  // closed by the utility, or failed
                           self->chunkPos = 0;
                           self->chunkEnd = n;
                           if (self->TakeLine()) return self->OnLine();
                           self->ReceiveMore();
                         });
}

bool CUtilitySession::TakeLine() {
  if (chunkPos == chunkEnd) return false;
  if (!lineStarted) {
    // Bytes left over from before the request count from now: waiting for a reply is not the
    // utility's time.
    lineStarted = true;
    ArmDeadline(lineTimeout);
  }
  const char* begin = chunk.data() + chunkPos;
  const size_t count = chunkEnd - chunkPos;
  const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', count));
  const size_t length = feed != nullptr ? static_cast<size_t>(feed - begin) : count;
  constexpr size_t kKept = kUtilityRequestBuffer - 1;
  const size_t room = kKept - std::min(line.size(), kKept);
  line.append(begin, std::min(length, room));  // the rest of a longer line is dropped
  chunkPos += feed != nullptr ? length + 1 : length;
  return feed != nullptr;
}

void CUtilitySession::OnLine() {
  DisarmDeadline();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return End();  // an empty line ends the exchange
  state = State::Waiting;
  owner.SubmitRequest(shared_from_this(), std::move(line));
}

void CUtilitySession::ArmDeadline(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return DisarmDeadline();
  deadline.expires_after(timeout);
  deadline.async_wait([self = shared_from_this()](const std::error_code& error) {
    // A deadline moved or disarmed after it had already fired is not this one.
    if (error || self->deadline.expiry() > asio::steady_timer::clock_type::now()) return;
    self->End();
  });
}

void CUtilitySession::DisarmDeadline() {
  deadline.expires_at(asio::steady_timer::time_point::max());
}

void CUtilitySession::End() {
  if (state == State::Ended) return;
  state = State::Ended;
  DisarmDeadline();
  std::error_code ignored;
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
  owner.SessionEnded(shared_from_this());
}

}  // namespace tessamer
