#include "server/context_pool.h"

#include <algorithm>
#include <utility>

#include "support/simple_log_file.h"

namespace tessamer {

CContextPool::CContextPool(IViewerIo& io, CPublisherPace pace, Clock::time_point (*now)())
    : io(io), pace(pace), now(now) {}

bool CContextPool::Join(const std::shared_ptr<CViewerConnection>& viewer) {
  std::lock_guard guard(lock);
  if (stopping) return false;
  ViewerList starts;  // stays empty: the viewer has not had its first send step
  if (headerText) PostLocked(viewer, headerText, starts);
  if (lastDataLine) PostLocked(viewer, lastDataLine, starts);
  StartSends(starts);
  viewers.push_back(viewer);
  return true;
}

void CContextPool::Leave(const CViewerConnection& viewer) {
  std::shared_ptr<CViewerConnection> leaving;  // let go after the lock is released
  std::lock_guard guard(lock);
  const auto found = std::find_if(viewers.begin(), viewers.end(),
                                  [&](const auto& v) { return v.get() == &viewer; });
  if (found == viewers.end()) return;
  leaving = std::move(*found);
  viewers.erase(found);
  gone.push_back(leaving->Health());
  gone.back().connected = false;
  if (gone.size() > kGoneViewersKept) gone.pop_front();
  leaving->DropQueued();
}

void CContextPool::Publish(SavedText which, std::string text) {
  auto shared = std::make_shared<const std::string>(std::move(text));
  std::lock_guard guard(lock);
  (which == SavedText::Header ? headerText : lastDataLine) = shared;
  BroadcastLocked(shared);
}

bool CContextPool::Reply(const std::shared_ptr<CViewerConnection>& viewer, std::string text) {
  std::lock_guard guard(lock);
  if (stopping || viewer == nullptr) return false;
  if (std::find(viewers.begin(), viewers.end(), viewer) == viewers.end()) return false;
  ViewerList starts;
  PostLocked(viewer, std::make_shared<const std::string>(std::move(text)), starts);
  StartSends(starts);
  return true;
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
  return viewers.size();
}

ViewerList CContextPool::Connected() const {
  std::lock_guard guard(lock);
  return viewers;
}

std::string CContextPool::Saved(SavedText which) const {
  std::lock_guard guard(lock);
  const auto& text = which == SavedText::Header ? headerText : lastDataLine;
  return text ? *text : std::string();
}

std::vector<ViewerHealth> CContextPool::Viewers() const {
  std::lock_guard guard(lock);
  std::vector<ViewerHealth> all;
  all.reserve(viewers.size() + gone.size());
  for (const auto& viewer : viewers) all.push_back(viewer->Health());
  all.insert(all.end(), gone.begin(), gone.end());
  return all;
}

void CContextPool::Clear() {
  ViewerList doomed;  // let go after the lock is released
  std::lock_guard guard(lock);
  doomed.swap(viewers);
}

PostResult CContextPool::PostLocked(const std::shared_ptr<CViewerConnection>& viewer,
                                    const std::shared_ptr<const std::string>& text,
                                    ViewerList& starts, PostMode mode) {
  const PostResult result = viewer->Post(text, mode);
  switch (result) {
    case PostResult::SendRequested:
      starts.push_back(viewer);
      break;
    case PostResult::OverLimit:
      DiagnosticLog().Printf(L"Client %llu closed: more than %llu bytes waiting to be sent",
                             static_cast<unsigned long long>(viewer->SocketValue()),
                             static_cast<unsigned long long>(viewer->QueueLimit()));
      viewer->RequestClose();
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
  ViewerList starts;
  for (const auto& viewer : viewers) {
    if (viewer->StartHeld()) starts.push_back(viewer);
  }
  StartSends(starts);
}

void CContextPool::BroadcastLocked(const std::shared_ptr<const std::string>& text) {
  if (stopping) return;
  ViewerList starts;
  const auto start = now();
  const Pace decision = pace.Next(start - lastBroadcastStart, viewers.size());
  lastBroadcastStart = start;
  const PostMode mode = decision == Pace::WriteNow ? PostMode::Now : PostMode::Gather;
  size_t written = 0;  // viewers the publisher wrote to itself
  for (const auto& viewer : viewers) {
    written += PostLocked(viewer, text, starts, mode) == PostResult::Sent ? 1 : 0;
  }
  StartSends(starts);
  pace.Written(now() - start, written);
}

void CContextPool::StartSends(ViewerList& starts) {
  if (!starts.empty()) io.RequestSends(std::move(starts));
}

}  // namespace tessamer
