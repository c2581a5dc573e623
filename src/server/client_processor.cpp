#include "server/client_processor.h"

#include "support/error_numbers.h"

namespace tessamer {

CClientProcessor::CClientProcessor(ClientContext* context, size_t queueLimit,
                                   IClientSocket* socket)
    : CProcessor(context), queueLimit(queueLimit), socket(socket) {}

void CClientProcessor::Attach(ClientContext* record) {
  std::lock_guard guard(lock);
  CProcessor::Attach(record);
  queue.clear();
  queuedBytes = 0;
  closing = false;
  textsSent = bytesSent = 0;
  sendingBytes = 0;
}

PostResult CClientProcessor::Post(std::shared_ptr<const std::string> text, PostMode mode) {
  std::lock_guard guard(lock);
  if (closing || text == nullptr || text->empty()) return PostResult::Dropped;
  if (state == ProcessorState::Idle && mode == PostMode::Now) {
    const size_t sent = socket != nullptr ? socket->SendNow(*context, *text) : 0;
    if (sent >= text->size()) {
      ++textsSent;
      bytesSent += sent;
      return PostResult::Sent;
    }
    sendingBytes = text->size() - sent;
    context->length = text->size();
    context->position = sent;
    context->texts.clear();
    context->texts.push_back(std::move(text));
    state = ProcessorState::Sending;
    return PostResult::SendRequested;
  }
  const PostResult queued = QueueLocked(std::move(text));
  if (queued != PostResult::Queued) return queued;
  if (state == ProcessorState::Held && mode == PostMode::Now) {
    state = ProcessorState::Sending;  // the record is empty: the step starts with the queue
    return PostResult::SendRequested;
  }
  if (state == ProcessorState::Idle) {
    state = ProcessorState::Held;
    return PostResult::Held;
  }
  return PostResult::Queued;
}

bool CClientProcessor::StartHeld() {
  std::lock_guard guard(lock);
  if (state != ProcessorState::Held) return false;
  state = ProcessorState::Sending;
  return true;
}

PostResult CClientProcessor::QueueLocked(std::shared_ptr<const std::string> text) {
  if (queuedBytes + text->size() > queueLimit) {
    closing = true;
    queue.clear();
    queuedBytes = 0;
    return PostResult::OverLimit;
  }
  queuedBytes += text->size();
  queue.push_back(std::move(text));
  return PostResult::Queued;
}

int CClientProcessor::Process() {
  std::lock_guard guard(lock);
  if (state == ProcessorState::New) state = ProcessorState::Idle;
  if (state == ProcessorState::Held) state = ProcessorState::Sending;  // this step takes them
  if (state == ProcessorState::Idle) {
    if (!TakeNextLocked()) return 0;
    state = ProcessorState::Sending;
  }
  while (context->position >= context->length) {
    CountSentLocked();  // and empties the record
    if (!TakeNextLocked()) {
      state = ProcessorState::Idle;
      sendingBytes = 0;
      return 0;
    }
  }
  return kErrorIoPending;
}

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
  const bool sending = state == ProcessorState::Sending;
  return ClientFigures{textsSent, bytesSent, queuedBytes + (sending ? sendingBytes : 0), closing};
}

// Only here and in Post's direct send are texts counted: a text counts once all of it is gone.
void CClientProcessor::CountSentLocked() {
  textsSent += context->texts.size();
  bytesSent += context->length;
  context->texts.clear();
  context->length = context->position = 0;
}

bool CClientProcessor::TakeNextLocked() {
  if (queue.empty()) return false;
  context->texts.clear();
  context->length = 0;
  do {
    context->length += queue.front()->size();
    context->texts.push_back(std::move(queue.front()));
    queue.pop_front();
  } while (!queue.empty() && context->texts.size() < kMaxSendTexts &&
           context->length + queue.front()->size() <= kMaxSendBytes);
  queuedBytes -= context->length;
  context->position = 0;
  sendingBytes = context->length;
  return true;
}

}  // namespace tessamer
