#include "server/client_processor.h"

namespace tessamer {

CClientProcessor::CClientProcessor(size_t queueLimit, IClientSocket* socket)
    : queueLimit(queueLimit), socket(socket) {}

PostResult CClientProcessor::Post(std::shared_ptr<const std::string> text, PostMode mode,
                                  size_t texts) {
  std::lock_guard guard(lock);
  if (closing || text == nullptr || text->empty()) return PostResult::Dropped;
  if (mode == PostMode::Join) return JoinLocked(std::move(text), texts);
  if (state != ProcessorState::Idle) return QueueLocked(std::move(text), texts);
  const size_t sent = mode == PostMode::Now && socket != nullptr ? socket->SendNow(*text) : 0;
  if (sent >= text->size()) {
    textsSent += texts;
    bytesSent += sent;
    return PostResult::Sent;
  }
  sendingBytes = text->size() - sent;
  length = text->size();
  position = sent;
  sending.clear();
  sending.push_back(std::move(text));
  sendingTexts = texts;
  state = ProcessorState::Sending;
  begun = false;
  return PostResult::SendRequested;
}

PostResult CClientProcessor::JoinLocked(std::shared_ptr<const std::string> text, size_t texts) {
  if (state != ProcessorState::Sending || begun || !queue.empty() ||
      !FitsInSendLocked(text->size())) {
    return PostResult::Declined;
  }
  length += text->size();
  sendingBytes += text->size();
  sendingTexts += texts;
  sending.push_back(std::move(text));
  return PostResult::Joined;
}

PostResult CClientProcessor::QueueLocked(std::shared_ptr<const std::string> text, size_t texts) {
  if (queuedBytes + text->size() > queueLimit) {
    closing = true;
    queue.clear();
    queuedBytes = 0;
    return PostResult::OverLimit;
  }
  queuedBytes += text->size();
  queue.push_back(Queued{std::move(text), texts});
  return PostResult::Queued;
}

SendStep CClientProcessor::Process() {
  std::lock_guard guard(lock);
  if (state == ProcessorState::New) state = ProcessorState::Idle;
  if (state == ProcessorState::Idle) {
    if (!TakeNextLocked()) return SendStep::Idle;
    state = ProcessorState::Sending;
  }
  while (position >= length) {
    CountSentLocked();  // and empties `sending`
    if (!TakeNextLocked()) {
      state = ProcessorState::Idle;
      sendingBytes = 0;
      return SendStep::Idle;
    }
  }
  begun = true;
  return SendStep::BytesToSend;
}

size_t CClientProcessor::Unsent(SendBuffers& buffers) const {
  size_t count = 0;
  size_t skip = position;
  for (const auto& text : sending) {
    if (skip >= text->size()) {
      skip -= text->size();
      continue;
    }
    buffers[count++] = asio::buffer(text->data() + skip, text->size() - skip);
    skip = 0;
  }
  return count;
}

void CClientProcessor::Sent(size_t count) { position += count; }

void CClientProcessor::Reset() {
  std::lock_guard guard(lock);
  queue.clear();
  queuedBytes = 0;
}

ProcessorState CClientProcessor::State() const {
  std::lock_guard guard(lock);
  return state;
}

size_t CClientProcessor::QueuedBytes() const {
  std::lock_guard guard(lock);
  return queuedBytes;
}

bool CClientProcessor::Closing() const {
  std::lock_guard guard(lock);
  return closing;
}

ClientFigures CClientProcessor::Figures() const {
  std::lock_guard guard(lock);
  const bool busy = state == ProcessorState::Sending;
  return ClientFigures{textsSent, bytesSent, queuedBytes + (busy ? sendingBytes : 0), closing};
}

// Only here and in Post's direct send are texts counted: a text counts once all of it is gone.
void CClientProcessor::CountSentLocked() {
  textsSent += sendingTexts;
  bytesSent += length;
  sending.clear();
  sendingTexts = length = position = 0;
}

bool CClientProcessor::FitsInSendLocked(size_t bytes) const {
  return sending.size() < kMaxSendTexts && length + bytes <= kMaxSendBytes;
}

bool CClientProcessor::TakeNextLocked() {
  if (queue.empty()) return false;
  sending.clear();
  sendingTexts = length = 0;
  do {
    length += queue.front().bytes->size();
    sendingTexts += queue.front().texts;
    sending.push_back(std::move(queue.front().bytes));
    queue.pop_front();
  } while (!queue.empty() && FitsInSendLocked(queue.front().bytes->size()));
  queuedBytes -= length;
  position = 0;
  sendingBytes = length;
  return true;
}

}  // namespace tessamer
