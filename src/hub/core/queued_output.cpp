#include "hub/core/queued_output.h"

#include <algorithm>
#include <utility>

namespace tessamer {

CQueuedOutput::CQueuedOutput(std::shared_ptr<IJobOutput> inner, size_t queueBytes)
    : inner(std::move(inner)), queueBytes(queueBytes), worker([this] { Work(); }) {}

CQueuedOutput::~CQueuedOutput() {
  {
    std::lock_guard guard(lock);
    ending = true;
  }
  changed.notify_all();
  worker.join();
}

void CQueuedOutput::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  Push(header, sizeof(PublishedHeader) + header->block.size());
}

void CQueuedOutput::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  Push(record, sizeof(PublishedRecord) + record->line.size());
}

uint64_t CQueuedOutput::Dropped() const {
  std::lock_guard guard(lock);
  return dropped;
}

size_t CQueuedOutput::Waiting() const {
  std::lock_guard guard(lock);
  return queue.size() + (handingOn ? 1 : 0);
}

bool CQueuedOutput::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock guard(lock);
  return changed.wait_for(guard, timeout, [this] { return queue.empty() && !handingOn; });
}

void CQueuedOutput::Push(Event event, size_t bytes) {
  {
    std::lock_guard guard(lock);
    queue.push_back(Queued{std::move(event), bytes});
    queuedBytes += bytes;
    while (queuedBytes > queueBytes && DropOldestRecordLocked()) {
    }
  }
  changed.notify_all();
}

// The oldest record goes; false when none is left (the other events are few and never dropped).
bool CQueuedOutput::DropOldestRecordLocked() {
  const auto oldest = std::find_if(queue.begin(), queue.end(), [](const Queued& queued) {
    return std::holds_alternative<std::shared_ptr<const PublishedRecord>>(queued.event);
  });
  if (oldest == queue.end()) return false;
  queuedBytes -= oldest->bytes;
  queue.erase(oldest);
  ++dropped;
  return true;
}

void CQueuedOutput::Work() {
  std::unique_lock guard(lock);
  for (;;) {
    changed.wait(guard, [this] { return !queue.empty() || ending; });
    if (queue.empty()) return;  // ending, and everything handed on
    Queued next = std::move(queue.front());
    queue.pop_front();
    queuedBytes -= next.bytes;
    handingOn = true;
    guard.unlock();
    HandOn(next.event);
    guard.lock();
    handingOn = false;
    changed.notify_all();
  }
}

void CQueuedOutput::HandOn(const Event& event) {
  struct Visitor {
    IJobOutput& output;
    void operator()(const RunStarted& run) { output.OnRunStarted(run); }
    void operator()(const std::shared_ptr<const PublishedHeader>& h) { output.OnHeader(h); }
    void operator()(const std::shared_ptr<const PublishedRecord>& r) { output.OnRecord(r); }
    void operator()(const BoxEvent& box) { output.OnBoxEvent(box); }
    void operator()(const RunEnded& end) { output.OnRunEnded(end); }
  };
  std::visit(Visitor{*inner}, event);
}

}  // namespace tessamer
