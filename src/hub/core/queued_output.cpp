#include "hub/core/queued_output.h"

#include <algorithm>
#include <utility>

namespace tessamer {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool IsRecord(const auto& event) {
  return std::holds_alternative<std::shared_ptr<const PublishedRecord>>(event);
}

}  // namespace

CQueuedOutput::CQueuedOutput(std::shared_ptr<IJobOutput> inner, size_t queueBytes)
    : inner(std::move(inner)),
      batched(nullptr),
      queueBytes(queueBytes),
      worker([this] { Work(); }) {}

CQueuedOutput::CQueuedOutput(std::shared_ptr<IBatchedOutput> inner, BatchSettings batching,
                             size_t queueBytes)
    : inner(inner),
      batched(inner.get()),
      batching(batching),
      queueBytes(queueBytes),
      worker([this] { Work(); }) {}

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

size_t CQueuedOutput::WaitingRecords() const {
  std::lock_guard guard(lock);
  return queuedRecords;
}

bool CQueuedOutput::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock guard(lock);
  return changed.wait_for(guard, timeout, [this] {
    return queue.empty() && !handingOn && !batchSince && !retryAt;
  });
}

void CQueuedOutput::Push(Event event, size_t bytes) {
  {
    std::lock_guard guard(lock);
    if (IsRecord(event)) ++queuedRecords;
    queue.push_back(Queued{std::move(event), bytes});
    queuedBytes += bytes;
    while (queuedBytes > queueBytes && DropOldestRecordLocked()) {
    }
  }
  changed.notify_all();
}

// The oldest record goes; false when none is left (the other events are few and never dropped).
bool CQueuedOutput::DropOldestRecordLocked() {
  const auto oldest = std::find_if(queue.begin(), queue.end(),
                                   [](const Queued& queued) { return IsRecord(queued.event); });
  if (oldest == queue.end()) return false;
  queuedBytes -= oldest->bytes;
  --queuedRecords;
  queue.erase(oldest);
  ++dropped;
  return true;
}

void CQueuedOutput::Work() {
  Guard guard(lock);
  while (Step(guard)) {
  }
}

bool CQueuedOutput::Step(Guard& guard) {
  if (batched != nullptr) TellDropped(guard);
  if (retryAt) {
    Retry(guard);
  } else if (FlushDue()) {
    FlushBatch(guard);
  } else if (!queue.empty()) {
    HandOnNext(guard);
  } else if (ending) {
    return false;
  } else {
    changed.wait(guard, [this] { return !queue.empty() || ending; });
  }
  return true;
}

// Waits for the retry time (or the end) and tries the batch again; at the end a batch that
// still fails is given up.
void CQueuedOutput::Retry(Guard& guard) {
  const SteadyClock::time_point at = *retryAt;
  changed.wait_until(guard, at, [this] { return ending; });
  const bool lastTry = ending;
  FlushBatch(guard);
  if (lastTry && retryAt) GiveUp(guard);
}

bool CQueuedOutput::FlushDue() const {
  if (!batchSince) return false;
  return queue.empty() || batchEvents >= batching.maxEvents ||
         SteadyClock::now() >= *batchSince + batching.period;
}

void CQueuedOutput::HandOnNext(Guard& guard) {
  Queued next = std::move(queue.front());
  queue.pop_front();
  queuedBytes -= next.bytes;
  if (IsRecord(next.event)) --queuedRecords;
  handingOn = true;
  guard.unlock();
  HandOn(next.event);
  guard.lock();
  handingOn = false;
  if (batched != nullptr) {
    if (!batchSince) batchSince = SteadyClock::now();
    ++batchEvents;
  }
  changed.notify_all();
}

void CQueuedOutput::FlushBatch(Guard& guard) {
  handingOn = true;
  guard.unlock();
  const bool flushed = batched->Flush();
  guard.lock();
  handingOn = false;
  if (flushed) {
    batchSince.reset();
    batchEvents = 0;
    retryAt.reset();
  } else {
    retryAt = SteadyClock::now() + batching.retry;
  }
  changed.notify_all();
}

void CQueuedOutput::TellDropped(Guard& guard) {
  if (dropped == droppedTold) return;
  const uint64_t count = dropped - droppedTold;
  droppedTold = dropped;
  guard.unlock();
  batched->OnDropped(count);
  guard.lock();
}

void CQueuedOutput::GiveUp(Guard& guard) {
  dropped += queuedRecords;
  queue.clear();
  queuedBytes = 0;
  queuedRecords = 0;
  TellDropped(guard);
  batchSince.reset();
  batchEvents = 0;
  retryAt.reset();
  changed.notify_all();
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
