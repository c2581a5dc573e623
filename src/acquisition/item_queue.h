#pragma once
// The items a driver's reader has recognised and its delivery thread has yet to hand to the
// owner, in arrival order. Unbounded: a slow owner costs memory, never data.
//
// Wake-ups are batched: Push only appends, and Signal wakes the delivery thread once for all that
// was pushed since the last Signal. The reader signals before anything that may block it (a link
// read, a pause, a reconnection, an alert), so the delivery thread wakes once per read rather
// than once per item.
//
// A stop request reaches a waiting delivery thread through WakeForStop, called by whoever made
// the request, never through a std::stop_callback: with MinGW-w64's libstdc++ (no futex) the
// callback's end is signalled by an atomic wait that can miss its wake-up, and the delivery thread
// would then wait for ever in the callback's destructor.
//
// Threads: Push and Signal on the reader thread (or the thread reading by hand);
// DeliverUntilStopped on the delivery thread; WakeForStop, DeliverAll and Drain on any thread.
// `lock` guards `items` only and is never held during a call to the owner.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <variant>

#include "acquisition/data_handler.h"
#include "hub/core/records.h"

namespace tessamer {

// One queued item: a job header (kind 0), a data record (kind 1) or a text line (kind 2).
struct QueueItem {
  enum Kind : int32_t { kHeader = 0, kData = 1, kText = 2 };
  std::variant<std::unique_ptr<Header>, std::unique_ptr<Data>, std::string> payload;
  Kind kind() const { return static_cast<Kind>(payload.index()); }
};

class CItemQueue {
 public:
  // `handler` (not owned) receives every item and must outlive the queue.
  explicit CItemQueue(IDataHandler* handler) : handler(handler) {}
  CItemQueue(const CItemQueue&) = delete;
  CItemQueue& operator=(const CItemQueue&) = delete;

  void Push(QueueItem item);
  // Wakes the delivery thread if anything was pushed since the last Signal.
  void Signal();

  // Hands the items to the handler in order as they come, until `stop` is requested; none after
  // the request. Nothing of the queue is touched after a call to the handler in which the stop
  // was requested, so the handler may stop the queue's owner and delete it.
  void DeliverUntilStopped(const std::stop_token& stop);
  // Wakes the delivery thread to see a stop requested before the call.
  void WakeForStop();
  // Hands every queued item to the handler on the calling thread; returns how many.
  size_t DeliverAll();
  // Drops every queued item.
  void Drain();

 private:
  // Waits for items or a stop request; false on a stop request, else the items are in `batch`.
  bool TakeBatch(const std::stop_token& stop, std::deque<QueueItem>& batch);
  static void Deliver(IDataHandler& to, QueueItem& item);

  IDataHandler* const handler;          // not owned
  std::mutex lock;
  std::condition_variable itemReady;    // the delivery thread waits here
  std::deque<QueueItem> items;          // guarded by lock
  bool unsignalled = false;             // pushing thread only: pushed since the last Signal
};

}  // namespace tessamer
