#include "server/context_pool.h"

#include <algorithm>
#include <utility>

#include "server/client_link.h"
#include "support/simple_log_file.h"

namespace tessamer {

CContextPool::CContextPool(IClientIo& io, size_t queueLimit, Clock::time_point (*now)())
    : io(io), queueLimit(queueLimit), now(now) {}

CContextPool::~CContextPool() { Clear(); }

ClientContext& CContextPool::Acquire(uint16_t port) {
  std::lock_guard guard(lock);
  if (free.empty()) {
    auto record = std::make_unique<ClientContext>();
    record->Initialise(port);
    record->processor = std::make_unique<CClientProcessor>(record.get(), queueLimit, &io);
    accepting.push_back(std::move(record));
  } else {
    accepting.splice(accepting.end(), free, std::prev(free.end()));
    ClientContext& record = *accepting.back();
    record.Initialise(port);
    record.processor->Attach(&record);
  }
  return *accepting.back();
}

bool CContextPool::Connect(ClientContext& record, std::shared_ptr<ClientLink> link) {
  std::lock_guard guard(lock);
  if (stopping) return false;
  record.link = std::move(link);
  std::vector<ClientContext*> starts;  // stays empty: the client has not had its first step
  if (headerText) PostLocked(record, headerText, starts);
  if (lastDataLine) PostLocked(record, lastDataLine, starts);
  StartSends(starts);
  Move(accepting, connected, record);
  return true;
}

void CContextPool::Release(ClientContext& record) {
  std::lock_guard guard(lock);
  if (Move(connected, free, record)) {
    gone.push_back(HealthOf(record));
    gone.back().connected = false;
    if (gone.size() > kGoneViewersKept) gone.pop_front();
  } else if (!Move(accepting, free, record)) {
    return;
  }
  record.processor->Reset();
  record.link.reset();
}

ClientContext& CContextPool::AddReader(std::unique_ptr<ClientContext> record) {
  std::lock_guard guard(lock);
  readers.push_back(std::move(record));
  return *readers.back();
}

void CContextPool::RemoveReader(ClientContext& record) {
  std::unique_ptr<ClientContext> doomed;  // deleted after the lock is released
  {
    std::lock_guard guard(lock);
    const auto found = std::find_if(readers.begin(), readers.end(),
                                    [&](const auto& r) { return r.get() == &record; });
    if (found == readers.end()) return;
    doomed = std::move(*found);
    readers.erase(found);
  }
}

void CContextPool::Publish(SavedText which, std::string text) {
  auto shared = std::make_shared<const std::string>(std::move(text));
  std::lock_guard guard(lock);
  (which == SavedText::Header ? headerText : lastDataLine) = shared;
  BroadcastLocked(shared);
}

bool CContextPool::Reply(const std::shared_ptr<ClientLink>& link, std::string text) {
  std::lock_guard guard(lock);
  if (stopping || link == nullptr) return false;
  for (const auto& record : connected) {
    if (record->link == link) {
      std::vector<ClientContext*> starts;
      PostLocked(*record, std::make_shared<const std::string>(std::move(text)), starts);
      StartSends(starts);
      return true;
    }
  }
  return false;
}

void CContextPool::SetStopping() {
  std::lock_guard guard(lock);
  stopping = true;
}

bool CContextPool::Stopping() const {
  std::lock_guard guard(lock);
  return stopping;
}

size_t CContextPool::ConnectedCount() const {
  std::lock_guard guard(lock);
  return connected.size();
}

std::vector<std::shared_ptr<ClientLink>> CContextPool::ConnectedLinks() const {
  std::lock_guard guard(lock);
  std::vector<std::shared_ptr<ClientLink>> links;
  for (const auto& record : connected) links.push_back(record->link);
  return links;
}

std::string CContextPool::Saved(SavedText which) const {
  std::lock_guard guard(lock);
  const auto& text = which == SavedText::Header ? headerText : lastDataLine;
  return text ? *text : std::string();
}

std::vector<ViewerHealth> CContextPool::Viewers() const {
  std::lock_guard guard(lock);
  std::vector<ViewerHealth> viewers;
  viewers.reserve(connected.size() + gone.size());
  for (const auto& record : connected) viewers.push_back(HealthOf(*record));
  viewers.insert(viewers.end(), gone.begin(), gone.end());
  return viewers;
}

// Under the pool's lock: the record is connected and its link's peer fields are fixed.
ViewerHealth CContextPool::HealthOf(const ClientContext& record) {
  const ClientFigures figures = static_cast<const CClientProcessor&>(*record.processor).Figures();
  ViewerHealth health;
  health.socket = static_cast<int64_t>(record.link->socketValue);
  health.peerAddress = record.link->peerAddress;
  health.peerPort = record.link->peerPort;
  health.connectedSince = record.link->connectedSince;
  health.linesSent = figures.textsSent;
  health.bytesSent = figures.bytesSent;
  health.bytesQueued = figures.bytesQueued;
  health.closedForFallingBehind = figures.closing;
  return health;
}

CContextPool::Counts CContextPool::RecordCounts() const {
  std::lock_guard guard(lock);
  return Counts{connected.size(), accepting.size(), free.size(), readers.size()};
}

void CContextPool::Clear() {
  RecordList doomed;  // deleted after the lock is released
  {
    std::lock_guard guard(lock);
    doomed.splice(doomed.end(), connected);
    doomed.splice(doomed.end(), accepting);
    doomed.splice(doomed.end(), free);
    doomed.splice(doomed.end(), readers);
  }
}

PostResult CContextPool::PostLocked(ClientContext& record,
                                    const std::shared_ptr<const std::string>& text,
                                    std::vector<ClientContext*>& starts, PostMode mode) {
  auto& processor = static_cast<CClientProcessor&>(*record.processor);
  const PostResult result = processor.Post(text, mode);
  switch (result) {
    case PostResult::SendRequested:
      starts.push_back(&record);
      break;
    case PostResult::OverLimit:
      DiagnosticLog().Printf(L"Client %llu closed: more than %llu bytes waiting to be sent",
                             static_cast<unsigned long long>(record.link->socketValue),
                             static_cast<unsigned long long>(queueLimit));
      io.RequestClose(record);
      break;
    case PostResult::Held:
      if (!std::exchange(startHeldRequested, true)) io.RequestStartHeld();
      break;
    case PostResult::Sent:
    case PostResult::Queued:
    case PostResult::Dropped:
      break;
  }
  return result;
}

void CContextPool::StartHeld() {
  std::lock_guard guard(lock);
  startHeldRequested = false;
  if (stopping) return;
  std::vector<ClientContext*> starts;
  for (const auto& record : connected) {
    if (static_cast<CClientProcessor&>(*record->processor).StartHeld()) {
      starts.push_back(record.get());
    }
  }
  StartSends(starts);
}

// The publisher writes to idle clients itself while that takes it at most two thirds of the time
// between two publications. Beyond that the texts are held and gathered (kGatherDelay), and the
// clients' strands send them, several in one send: far fewer sends, for a few milliseconds of
// delay.
bool CContextPool::BehindLocked(Clock::time_point start) {
  const auto gap = start - lastBroadcastStart;
  const auto estimate = directCost * static_cast<int64_t>(connected.size());
  const bool behind = 3 * estimate > 2 * std::max(gap, previousGap);
  previousGap = gap;
  // The cost was measured the last time texts went at once: let it fade while gathering, so
  // that a lighter load is noticed.
  if (behind) directCost -= directCost / 16;
  return behind;
}

void CContextPool::BroadcastLocked(const std::shared_ptr<const std::string>& text) {
  if (stopping) return;
  std::vector<ClientContext*> starts;
  starts.reserve(connected.size());
  const auto start = now();
  const PostMode mode = BehindLocked(start) ? PostMode::Gather : PostMode::Now;
  int64_t written = 0;  // texts the publisher wrote itself
  for (const auto& record : connected) {
    written += PostLocked(*record, text, starts, mode) == PostResult::Sent ? 1 : 0;
  }
  StartSends(starts);
  if (written > 0) {
    const auto cost = (now() - start) / written;
    directCost = std::min(cost, lastCost);
    lastCost = cost;
  }
  lastBroadcastStart = start;
}

void CContextPool::StartSends(std::vector<ClientContext*>& starts) {
  if (!starts.empty()) io.RequestSends(starts);
}

bool CContextPool::Move(RecordList& from, RecordList& to, const ClientContext& record) {
  const auto found =
      std::find_if(from.begin(), from.end(), [&](const auto& r) { return r.get() == &record; });
  if (found == from.end()) return false;
  to.splice(to.end(), from, found);
  return true;
}

}  // namespace tessamer
