#pragma once
// What one viewer is sent: a first-in first-out queue of texts and the send step that feeds them
// to the viewer's socket one after the other, each whole and in order.
//
//   Post Now (publisher) ─── Idle ─► SendNow on the poster's thread ─ all taken ─► Idle
//                                          └─ the rest, or nothing ─► Sending
//   Post Queue (gathering step, relay) ─ Idle ─► queued, a send step requested ─► Sending
//   either, New or Sending ─► queued behind what is there (bounded in bytes)
//   Post Join (a held line) ─ Sending, the strand not yet begun, nothing queued ─► into the texts
//                             being sent; otherwise nothing is done (Declined)
//
//   New ── first step ──► Idle ◄──────► Sending ◄── Process (the viewer's strand, after each send)
//
// Idle means nothing queued and nothing being sent: only then does the poster write to the
// socket itself, under `lock`, so its write and the strand's sends never overlap and every text
// goes out in order. A viewer whose socket would block is left to its strand. A viewer that has
// fallen behind gets several queued texts in one send.
//
// Threads: Post runs on the publisher's thread, on the gathering step's worker and on the relay's
// thread (always under the pool's lock), Reset under the pool's lock, Process, Unsent and Sent on
// the viewer's strand. `lock` guards `state`, the queue, `closing`, `begun` and the figures, and
// is held during a SendNow. Until Process has begun a send, a Join may add to the texts being
// sent, under `lock`; from then on, while `Sending`, the texts being sent and the position in
// them are the strand's alone.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <asio/buffer.hpp>

namespace tessamer {

inline constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;  // per viewer, texts not yet sending
inline constexpr size_t kMaxSendTexts = 64;        // queued texts gathered into one send, at most
inline constexpr size_t kMaxSendBytes = 256 * 1024;  // and their bytes, unless one text is larger

// The unsent bytes of the texts being sent, one buffer per text.
using SendBuffers = std::array<asio::const_buffer, kMaxSendTexts>;

// A viewer's socket as the thread that hands it a text may use it.
class IClientSocket {
 public:
  virtual ~IClientSocket() = default;
  // Sends from `bytes` what the socket takes at once, never waiting. Returns the count taken: 0
  // when the socket is full or has failed (the send step then meets the failure).
  virtual size_t SendNow(std::string_view bytes) = 0;
};

// What a viewer has been sent and has waiting, as its health shows it.
struct ClientFigures {
  uint64_t textsSent = 0;    // whole texts (lines, header blocks, replies) the socket has taken
  uint64_t bytesSent = 0;    // their bytes
  uint64_t bytesQueued = 0;  // queued, and the rest of the texts being sent
  bool closing = false;      // fell behind: more than the queue limit was waiting
};

enum class ProcessorState { New, Idle, Sending };

enum class PostMode {
  Now,    // an idle viewer is written to at once, on the poster's thread
  Queue,  // the text goes to the viewer's send step in any case
  Join,   // the text joins the send a requested send step has not begun, or nothing is done
};

enum class PostResult {
  Sent,           // the viewer was idle and its socket took the whole text at once
  Queued,         // the text waits in the queue behind what is there
  SendRequested,  // the viewer was idle: the text, or its rest, is to be sent; run a send step
  Dropped,        // an empty text, or a viewer already being closed
  OverLimit,      // the queue would exceed its limit: the viewer is marked closing, queue emptied
  Joined,         // PostMode::Join: the text goes out with the send that waits to begin
  Declined,       // PostMode::Join: no send is waiting to begin, or it is full; nothing done
};

enum class SendStep {
  Idle,         // everything is sent: nothing to do until a text is posted
  BytesToSend,  // Unsent has bytes for the socket; report what it took with Sent
};

class CClientProcessor {
 public:
  // `socket` (may be null: every text then goes through the send step) must outlive the
  // processor.
  explicit CClientProcessor(size_t queueLimit = kMaxQueuedBytes, IClientSocket* socket = nullptr);
  CClientProcessor(const CClientProcessor&) = delete;
  CClientProcessor& operator=(const CClientProcessor&) = delete;

  // Hands `text`, which holds `texts` whole texts (lines gathered into one, or one), to the
  // viewer. The caller acts on the result (SendRequested, OverLimit).
  PostResult Post(std::shared_ptr<const std::string> text, PostMode mode = PostMode::Now,
                  size_t texts = 1);
  // The send step: after what the socket took was reported with Sent, the next bytes to send or
  // Idle. A viewer that has fallen behind gets several queued texts in one send, each whole and
  // in order.
  SendStep Process();
  // After Process returned BytesToSend: the unsent bytes, in order; returns the buffers used.
  size_t Unsent(SendBuffers& buffers) const;
  void Sent(size_t count);  // the socket took `count` of the unsent bytes
  void Reset();  // the viewer is closed: the queue is emptied; the state stays

  ProcessorState State() const;
  size_t QueueLimit() const { return queueLimit; }
  size_t QueuedBytes() const;
  bool Closing() const;
  ClientFigures Figures() const;

 private:
  struct Queued {
    std::shared_ptr<const std::string> bytes;
    size_t texts;  // whole texts in `bytes`
  };

  PostResult QueueLocked(std::shared_ptr<const std::string> text, size_t texts);
  PostResult JoinLocked(std::shared_ptr<const std::string> text, size_t texts);
  bool TakeNextLocked();   // moves the first queued texts into `sending`; false when none
  bool FitsInSendLocked(size_t bytes) const;  // a text of `bytes` may join `sending`
  void CountSentLocked();  // the texts being sent have all gone

  mutable std::mutex lock;
  ProcessorState state = ProcessorState::New;
  std::deque<Queued> queue;
  size_t queuedBytes = 0;  // sum of the queued texts' lengths
  const size_t queueLimit;
  IClientSocket* const socket;  // not owned
  bool closing = false;    // over the limit: further texts are dropped
  uint64_t textsSent = 0;
  uint64_t bytesSent = 0;
  size_t sendingBytes = 0;  // unsent bytes of `sending` when they were taken
  // The texts being sent, whole and in order (one gathered send for a viewer that has fallen
  // behind), each shared by every viewer it was broadcast to; `position` of their `length`
  // bytes have gone.
  std::vector<std::shared_ptr<const std::string>> sending;
  size_t sendingTexts = 0;  // whole texts in `sending`
  bool begun = false;       // the strand has taken `sending` (Process): nothing joins it now
  size_t position = 0;
  size_t length = 0;
};

}  // namespace tessamer
