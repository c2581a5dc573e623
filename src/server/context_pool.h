#pragma once
// The data server's records, their lists and the texts that every client is handed first.
//
//   Acquire ──► accepting ── Connect ──► connected ── Release ──► free ──► Acquire (reused)
//   AddReader ──► readers ── RemoveReader (its receive loop ended) ──► deleted
//
// The last header block and data line are stored and broadcast under the same lock that a new
// client takes to receive them and join `connected`: a client that connects while texts are
// published gets each text exactly once, in order.
//
// Threads: any. `lock` guards the four lists, the gone viewers, the saved texts, `stopping` and
// the pace; it is never held while waiting for the network. Lock order: the pool's lock, then a
// processor's.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "server/client_context.h"
#include "server/client_processor.h"

namespace tessamer {

// What the pool needs of the server for a client's socket. Every operation is called with the
// pool's lock held and must return at once: SendNow (with the client's processor lock held too)
// never waits for the socket, the others post the work to the client's strand.
class IClientIo : public IClientSocket {
 public:
  // The clients of `records` were idle and their sockets did not take the whole text handed to
  // each: run a send step for each. One call per publication, however many clients it reached.
  virtual void RequestSends(const std::vector<ClientContext*>& records) = 0;
  // `record`'s client has more than the queue limit waiting: close it.
  virtual void RequestClose(ClientContext& record) = 0;
  // Texts are held for gathering: call the pool's StartHeld after kGatherDelay.
  virtual void RequestStartHeld() = 0;
};

// While the publisher cannot keep up with writing every text to every client at once, texts are
// held this long, so that each send carries several of them.
inline constexpr std::chrono::milliseconds kGatherDelay{2};

enum class SavedText { Header, DataLine };

// Viewers that have gone are still shown, the newest this many.
inline constexpr size_t kGoneViewersKept = 16;

class CContextPool {
 public:
  using Clock = std::chrono::steady_clock;
  // `io` must outlive the pool. `queueLimit` bounds each client's queued bytes; `now` tells the
  // time by which the publisher's pace is judged.
  explicit CContextPool(IClientIo& io, size_t queueLimit = kMaxQueuedBytes,
                        Clock::time_point (*now)() = &Clock::now);
  ~CContextPool();
  CContextPool(const CContextPool&) = delete;
  CContextPool& operator=(const CContextPool&) = delete;

  // A record for a new accept, listed in `accepting`: the last of `free` re-initialised, or a
  // new one with its CClientProcessor.
  ClientContext& Acquire(uint16_t port);
  // An accept completed on `record`: under one lock, the saved header block and data line are
  // queued to it, it gets `link` and moves to `connected`. False (nothing done) when stopping.
  bool Connect(ClientContext& record, std::shared_ptr<ClientLink> link);
  // A write record's client is closed, or its accept ended: out of `connected` or `accepting`,
  // its queue emptied and its link dropped, into `free`.
  void Release(ClientContext& record);

  // Read records: listed while their client's receive loop runs; RemoveReader deletes one.
  ClientContext& AddReader(std::unique_ptr<ClientContext> record);
  void RemoveReader(ClientContext& record);

  // Stores `text` as the last text of its kind and hands it to every connected client.
  void Publish(SavedText which, std::string text);
  // Held texts of every connected client go to their send steps (see kGatherDelay).
  void StartHeld();
  // Hands `text` to the client of `link` alone, if it is still connected. False when dropped.
  bool Reply(const std::shared_ptr<ClientLink>& link, std::string text);

  void SetStopping();  // from now on nothing is delivered and nobody joins
  bool Stopping() const;
  size_t ConnectedCount() const;
  std::vector<std::shared_ptr<ClientLink>> ConnectedLinks() const;
  std::string Saved(SavedText which) const;
  // Every connected viewer in accept order, then the last kGoneViewersKept that have gone.
  std::vector<ViewerHealth> Viewers() const;

  struct Counts {
    size_t connected = 0, accepting = 0, free = 0, readers = 0;
    size_t Total() const { return connected + accepting + free + readers; }
  };
  Counts RecordCounts() const;

  // Deletes every record of every list with its processor.
  void Clear();

 private:
  using RecordList = std::list<std::unique_ptr<ClientContext>>;

  // Hands `text` to `record`'s client (see CClientProcessor::Post); a client whose socket did not
  // take it all is added to `starts`.
  PostResult PostLocked(ClientContext& record, const std::shared_ptr<const std::string>& text,
                        std::vector<ClientContext*>& starts, PostMode mode = PostMode::Now);
  // Whether a broadcast starting at `start` is to be gathered (see BroadcastLocked).
  bool BehindLocked(Clock::time_point start);
  void BroadcastLocked(const std::shared_ptr<const std::string>& text);
  void StartSends(std::vector<ClientContext*>& starts);
  static bool Move(RecordList& from, RecordList& to, const ClientContext& record);
  static ViewerHealth HealthOf(const ClientContext& record);

  IClientIo& io;
  const size_t queueLimit;
  mutable std::mutex lock;
  RecordList connected;  // write records of connected clients, in accept order
  RecordList accepting;  // records with an accept outstanding
  RecordList free;       // write records ready for reuse, processors kept
  RecordList readers;    // read records
  std::deque<ViewerHealth> gone;  // the viewers last released from `connected`, oldest first
  std::shared_ptr<const std::string> headerText;    // the last header block; null until one
  std::shared_ptr<const std::string> lastDataLine;  // the last data line; null until one
  bool stopping = false;
  // Whether the publisher keeps up: when the previous broadcast started and the gap before it,
  // and what writing a text to one client cost the last two times texts were written at once.
  // Each judgement uses the longer gap and the lower cost of the two, so that one late text or
  // one slow send does not change how texts go.
  Clock::time_point (*now)();
  Clock::time_point lastBroadcastStart;
  Clock::duration previousGap{};
  Clock::duration directCost{};
  Clock::duration lastCost = Clock::duration::max();
  bool startHeldRequested = false;  // a StartHeld is due
};

}  // namespace tessamer
