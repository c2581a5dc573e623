#pragma once
// The set of connected viewers, the texts every new viewer is handed first, and the publication
// of each text to every viewer at the publisher's pace (CPublisherPace).
//
//   CViewerConnection ── Join ──► viewers (accept order) ── Leave ──► gone (the last few, as
//                                                                     figures)
//
// The last header block and data line are stored and broadcast under the same lock that a new
// viewer takes to receive them and join: a viewer that connects while texts are published gets
// each text exactly once, in order.
//
// Threads: any. `lock` guards the viewers, the gone viewers, the saved texts, `stopping`, the pace
// and the gathering step's request; it is never held while waiting for the network. Lock order:
// the pool's lock, then a viewer's processor's.

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "server/publisher_pace.h"
#include "server/viewer_connection.h"

namespace tessamer {

using ViewerList = std::vector<std::shared_ptr<CViewerConnection>>;

// What the pool needs of the server. Both are called with the pool's lock held and return at once.
class IViewerIo {
 public:
  virtual ~IViewerIo() = default;
  // `viewers` were idle and their sockets did not take the whole text handed to each: run their
  // send steps. One call per publication, however many viewers it reached.
  virtual void RequestSends(ViewerList viewers) = 0;
  // Lines are held: call the pool's StartHeld after kGatherDelay.
  virtual void RequestStartHeld() = 0;
};

enum class SavedText { Header, DataLine };

// Viewers that have gone are still shown, the newest this many.
inline constexpr size_t kGoneViewersKept = 16;

class CContextPool {
 public:
  using Clock = std::chrono::steady_clock;
  // `io` must outlive the pool. `pace` starts as given; `now` tells the time by which it judges.
  explicit CContextPool(IViewerIo& io, CPublisherPace pace = {},
                        Clock::time_point (*now)() = &Clock::now);
  CContextPool(const CContextPool&) = delete;
  CContextPool& operator=(const CContextPool&) = delete;

  // Under one lock, the saved header block and data line are queued to `viewer` and it joins the
  // viewers. False (nothing done) when stopping.
  bool Join(const std::shared_ptr<CViewerConnection>& viewer);
  // `viewer` is closed: out of the viewers, its queue emptied, its figures kept among the gone.
  void Leave(const CViewerConnection& viewer);

  // Stores `text` as the last text of its kind and hands it to every viewer.
  void Publish(SavedText which, std::string text);
  // Held texts of every viewer go to their send steps (see kGatherDelay).
  void StartHeld();
  // Hands `text` to `viewer` alone, if it is still one of the viewers. False when dropped.
  bool Reply(const std::shared_ptr<CViewerConnection>& viewer, std::string text);

  void SetStopping();  // from now on nothing is delivered and nobody joins
  bool Stopping() const;
  size_t ConnectedCount() const;
  ViewerList Connected() const;
  std::string Saved(SavedText which) const;
  // Every connected viewer in accept order, then the last kGoneViewersKept that have gone.
  std::vector<ViewerHealth> Viewers() const;
  void Clear();  // lets go of every viewer

 private:
  // Hands `text` to `viewer` (see CClientProcessor::Post); a viewer whose socket did not take it
  // all is added to `starts`.
  PostResult PostLocked(const std::shared_ptr<CViewerConnection>& viewer,
                        const std::shared_ptr<const std::string>& text, ViewerList& starts,
                        PostMode mode = PostMode::Now);
  void BroadcastLocked(const std::shared_ptr<const std::string>& text);
  void StartSends(ViewerList& starts);

  IViewerIo& io;
  CPublisherPace pace;
  Clock::time_point (*now)();
  mutable std::mutex lock;
  ViewerList viewers;             // the connected viewers, in accept order
  std::deque<ViewerHealth> gone;  // the viewers that last left, oldest first
  std::shared_ptr<const std::string> headerText;    // the last header block; null until one
  std::shared_ptr<const std::string> lastDataLine;  // the last data line; null until one
  bool stopping = false;
  Clock::time_point lastBroadcastStart;  // for the gap before the next one
  bool startHeldRequested = false;  // a gathering step is due
};

}  // namespace tessamer
