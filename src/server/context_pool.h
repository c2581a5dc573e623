#pragma once
// The set of connected viewers, the texts every new viewer is handed first, and the publication
// of each text to every viewer at the publisher's pace (CPublisherPace).
//
//   CViewerConnection ── Join ──► viewers (accept order) ── Leave ──► gone (the last few, as
//                                                                     figures)
//   Publish ─ WriteNow ─► each viewer: written at once when idle, else queued (CClientProcessor)
//           └ Hold ─────► held lines ── StartHeld, the gathering step ──► each viewer's queue,
//                 │                        as one text, and its send step
//                 └─► a viewer whose send step waits and has not begun: into that send as well
//                     (it skips the line at the gathering step)
//
// The last header block and data line are stored and broadcast under the same lock that a new
// viewer takes to receive them and join: a viewer that connects while texts are published gets
// each text exactly once, in order; one that joins while lines are held is handed only the held
// lines published after it joined. Held lines go to the viewers before any text that follows
// them: a line written at once or a reply first hands them over. A held line joins a viewer's
// waiting send only if the viewer took every held line before it, so each viewer gets a first
// run of the held lines at once and the rest at the gathering step, in order and once.
//
// Threads: any. `lock` guards the viewers, the gone viewers, the saved texts, `stopping`, the pace
// and the held lines; it is never held while waiting for the network. Lock order:
// the pool's lock, then a viewer's processor's.

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
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
  // Lines are held: call the pool's StartHeld after `delay`, replacing any call still waiting.
  virtual void RequestStartHeld(std::chrono::steady_clock::duration delay) = 0;
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
  // The gathering step: the held lines go to every viewer as one text (see CPublisherPace).
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
  void Clear();  // lets go of every viewer and of the held lines

 private:
  // Hands `text` (`texts` whole texts) to `viewer` (see CClientProcessor::Post); a viewer whose
  // send step is to run is added to `starts`.
  PostResult PostLocked(const std::shared_ptr<CViewerConnection>& viewer,
                        const std::shared_ptr<const std::string>& text, ViewerList& starts,
                        PostMode mode = PostMode::Now, size_t texts = 1);
  void BroadcastLocked(const std::shared_ptr<const std::string>& text);
  void HoldLocked(const std::shared_ptr<const std::string>& text);
  // Hands the held lines over; the viewers to start are added to `starts`.
  void HandOverHeldLocked(ViewerList& starts);
  std::shared_ptr<const std::string> JoinHeld(size_t from) const;  // held lines from `from` on
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
  // Lines held for the gathering step, in order, and their bytes. A viewer skips the first of
  // them it joined too late for or already has (CViewerConnection::heldSkipped).
  std::vector<std::shared_ptr<const std::string>> held;
  size_t heldBytes = 0;
};

}  // namespace tessamer
