#pragma once
// The sending side of one client: a first-in first-out queue of texts and the send step that
// feeds them to the socket one after the other, each whole and in order.
//
//   Post (publisher, workers) ──┐                ┌── Process (client's strand, after each send)
//                               ▼                ▼
//            New ── first step ──► Idle ◄──────► Sending ── queue of texts (bounded in bytes)
//
// Threads: Post runs on the publisher's thread and on workers; Process on the worker running the
// client's strand; Attach and Reset under the pool's lock. `lock` guards `state`, the queue and
// `closing`. While `Sending`, the record's send fields are the strand's alone.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "server/processor.h"

namespace tessamer {

inline constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;  // per client, texts not yet sending
inline constexpr size_t kMaxSendTexts = 64;        // queued texts gathered into one send, at most
inline constexpr size_t kMaxSendBytes = 256 * 1024;  // and their bytes, unless one text is larger

enum class PostResult {
  Queued,         // the text waits in the queue
  SendRequested,  // the client was idle: the text is in the record; run a send step for it
  Dropped,        // an empty text, or a client already being closed
  OverLimit,      // the queue would exceed its limit: the client is marked closing, queue emptied
};

class CClientProcessor : public CProcessor {
 public:
  explicit CClientProcessor(ClientContext* context, size_t queueLimit = kMaxQueuedBytes);

  void Attach(ClientContext* record) override;  // New, queue emptied, no longer closing
  // Hands a text to the client. The caller acts on the result (SendRequested, OverLimit).
  PostResult Post(std::shared_ptr<const std::string> text);
  // The send step. Returns kErrorIoPending when the record's `texts` have bytes left to send from
  // `position` to `length` (the caller sends them, adds the count sent to `position` and calls
  // Process again), 0 when everything is sent and the client is idle. A client that has fallen
  // behind gets several queued texts in one send, each whole and in order.
  int Process() override;
  void Reset() override;  // empties the queue; the state stays

  ProcessorState State() const;
  size_t QueuedBytes() const;
  bool Closing() const;

 private:
  bool TakeNextLocked();  // moves the first queued texts into the record; false when none

  mutable std::mutex lock;
  std::deque<std::shared_ptr<const std::string>> queue;
  size_t queuedBytes = 0;  // sum of the queued texts' lengths
  size_t queueLimit;
  bool closing = false;    // over the limit: further texts are dropped until Attach
};

}  // namespace tessamer
