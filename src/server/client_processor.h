#pragma once
// The sending side of one client: a first-in first-out queue of texts and the send step that
// feeds them to the socket one after the other, each whole and in order.
//
//   Post Now (publisher, relay) ─ Idle ─► SendNow on the poster's thread ─ all taken ─► Idle
//            │                                  └─ the rest, or nothing ─► Sending
//            ├─ Held ─► queued, the send step requested at once ─► Sending
//            └─ New or Sending ─► queue of texts (bounded in bytes)
//   Post Gather ─ Idle or Held ─► queued ─► Held ── StartHeld (the gathering delay) ──► Sending
//
//   New ── first step ──► Idle ◄──────► Sending ◄── Process (client's strand, after each send)
//
// Idle means nothing queued and nothing being sent: only then does the poster write to the
// socket itself, under `lock`, so its write and the strand's sends never overlap and every text
// goes out in order. A client that would block is left to its strand. Held texts wait for one
// send step that takes them all at once: the server gathers so while it cannot keep up.
//
// Threads: Post runs on the publisher's thread and on the relay's; Process on the worker running
// the client's strand; Attach, Reset and StartHeld under the pool's lock. `lock` guards `state`,
// the queue and `closing`, and is held during a SendNow. While `Sending`, the record's send fields
// are the strand's alone.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "server/processor.h"

namespace tessamer {

inline constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;  // per client, texts not yet sending
inline constexpr size_t kMaxSendTexts = 64;        // queued texts gathered into one send, at most
inline constexpr size_t kMaxSendBytes = 256 * 1024;  // and their bytes, unless one text is larger

// A client's socket as the thread that hands it a text may use it.
class IClientSocket {
 public:
  virtual ~IClientSocket() = default;
  // Sends from `bytes` what `record`'s socket takes at once, never waiting. Returns the count
  // taken: 0 when the socket is full or has failed (its send step then meets the failure).
  virtual size_t SendNow(ClientContext& record, std::string_view bytes) = 0;
};

// What a client has been sent and has waiting, as its health shows it.
struct ClientFigures {
  uint64_t textsSent = 0;    // whole texts (lines, header blocks, replies) the socket has taken
  uint64_t bytesSent = 0;    // their bytes
  uint64_t bytesQueued = 0;  // queued, and the rest of the texts being sent
  bool closing = false;      // fell behind: more than the queue limit was waiting
};

enum class PostMode {
  Now,     // an idle client is written to at once
  Gather,  // the text waits for a send step started later (StartHeld), with what follows it
};

enum class PostResult {
  Sent,           // the client was idle and its socket took the whole text at once
  Queued,         // the text waits in the queue
  SendRequested,  // the client was idle: the text, or its rest, is in the record; run a send
                  // step for it
  Held,           // the text waits for the gathering send step: the caller has StartHeld called
  Dropped,        // an empty text, or a client already being closed
  OverLimit,      // the queue would exceed its limit: the client is marked closing, queue emptied
};

class CClientProcessor : public CProcessor {
 public:
  // `socket` (may be null: every text then goes through the send step) must outlive the
  // processor.
  explicit CClientProcessor(ClientContext* context, size_t queueLimit = kMaxQueuedBytes,
                            IClientSocket* socket = nullptr);

  void Attach(ClientContext* record) override;  // New, queue emptied, no longer closing
  // Hands a text to the client. With `Now` an idle client is written to at once, and held texts
  // get their send step requested; with `Gather` the text is held. The caller acts on the result
  // (SendRequested, Held, OverLimit).
  PostResult Post(std::shared_ptr<const std::string> text, PostMode mode = PostMode::Now);
  // Held texts go to the send step: true when there were some (the caller then runs the step).
  bool StartHeld();
  // The send step. Returns kErrorIoPending when the record's `texts` have bytes left to send from
  // `position` to `length` (the caller sends them, adds the count sent to `position` and calls
  // Process again), 0 when everything is sent and the client is idle. A client that has fallen
  // behind gets several queued texts in one send, each whole and in order.
  int Process() override;
  void Reset() override;  // empties the queue; the state stays

  ProcessorState State() const;
  size_t QueuedBytes() const;
  bool Closing() const;
  ClientFigures Figures() const;

 private:
  PostResult QueueLocked(std::shared_ptr<const std::string> text);
  bool TakeNextLocked();  // moves the first queued texts into the record; false when none
  void CountSentLocked();  // the record's texts have all gone

  mutable std::mutex lock;
  std::deque<std::shared_ptr<const std::string>> queue;
  size_t queuedBytes = 0;  // sum of the queued texts' lengths
  size_t queueLimit;
  IClientSocket* socket;   // not owned
  bool closing = false;    // over the limit: further texts are dropped until Attach
  uint64_t textsSent = 0;  // since Attach
  uint64_t bytesSent = 0;
  size_t sendingBytes = 0;  // unsent bytes of the record's texts when they were taken
};

}  // namespace tessamer
