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
  viewer->heldSkipped = held.size();
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
  HandOverHeldLocked(starts);  // the reply follows the lines published before it
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
  for (const auto& viewer : viewers) {
    all.push_back(viewer->Health());
    size_t heldFor = heldBytes;  // held lines wait for this viewer too, but those it skips
    const size_t skipped = std::min(viewer->heldSkipped, held.size());
    for (size_t i = 0; i < skipped; ++i) heldFor -= held[i]->size();
    all.back().bytesQueued += heldFor;
  }
  all.insert(all.end(), gone.begin(), gone.end());
  return all;
}

void CContextPool::Clear() {
  ViewerList doomed;  // let go after the lock is released
  std::lock_guard guard(lock);
  doomed.swap(viewers);
  held.clear();
  heldBytes = 0;
}

PostResult CContextPool::PostLocked(const std::shared_ptr<CViewerConnection>& viewer,
                                    const std::shared_ptr<const std::string>& text,
                                    ViewerList& starts, PostMode mode, size_t texts) {
  const PostResult result = viewer->Post(text, mode, texts);
  if (result == PostResult::SendRequested) starts.push_back(viewer);
  if (result == PostResult::OverLimit) {
    DiagnosticLog().Printf(L"Client %llu closed: more than %llu bytes waiting to be sent",
                           static_cast<unsigned long long>(viewer->SocketValue()),
                           static_cast<unsigned long long>(viewer->QueueLimit()));
    viewer->RequestClose();
  }
  return result;
}

void CContextPool::StartHeld() {
  std::lock_guard guard(lock);
  if (stopping) return;
  ViewerList starts;
  HandOverHeldLocked(starts);
  StartSends(starts);
}

void CContextPool::BroadcastLocked(const std::shared_ptr<const std::string>& text) {
  if (stopping) return;
  const auto start = now();
  const Pace decision = pace.Next(start - lastBroadcastStart, viewers.size());
  lastBroadcastStart = start;
  if (decision == Pace::Hold) return HoldLocked(text);
  ViewerList starts;
  HandOverHeldLocked(starts);
  size_t written = 0;  // viewers the publisher wrote to itself
  for (const auto& viewer : viewers) {
    written += PostLocked(viewer, text, starts) == PostResult::Sent ? 1 : 0;
  }
  StartSends(starts);
  pace.Written(now() - start, written);
}

void CContextPool::HoldLocked(const std::shared_ptr<const std::string>& text) {
  if (held.empty()) io.RequestStartHeld(pace.GatherDelay(viewers.size()));
  // A viewer whose send step is requested and not yet begun takes the line into that send at no
  // cost; the others get it with the gathering step. A viewer that took every held line so far
  // may take this one: the held lines keep their order.
  for (const auto& viewer : viewers) {
    if (viewer->heldSkipped == held.size() &&
        viewer->Post(text, PostMode::Join, 1) == PostResult::Joined) {
      ++viewer->heldSkipped;
    }
  }
  held.push_back(text);
  heldBytes += text->size();
}

void CContextPool::HandOverHeldLocked(ViewerList& starts) {
  if (held.empty()) return;
  std::vector<std::shared_ptr<const std::string>> from(held.size());  // held lines from i on
  for (const auto& viewer : viewers) {
    const size_t skipped = std::min(viewer->heldSkipped, held.size());
    viewer->heldSkipped = 0;
    if (skipped == held.size()) continue;
    if (!from[skipped]) from[skipped] = JoinHeld(skipped);
    PostLocked(viewer, from[skipped], starts, PostMode::Queue, held.size() - skipped);
  }
  held.clear();
  heldBytes = 0;
}

std::shared_ptr<const std::string> CContextPool::JoinHeld(size_t from) const {
  std::string joined;
  joined.reserve(heldBytes);
  for (size_t i = from; i < held.size(); ++i) joined += *held[i];
  return std::make_shared<const std::string>(std::move(joined));
}

void CContextPool::StartSends(ViewerList& starts) {
  if (!starts.empty()) io.RequestSends(std::move(starts));
}

}  // namespace tessamer
