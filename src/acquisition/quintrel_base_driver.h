#pragma once
// The connection driver of one box: turns the byte stream of its link into job headers, data
// records and text lines and hands them, in arrival order, to its owner.
//
//   link --Read--> InputBuffer --ReadItem--> item queue --> delivery thread --> IDataHandler
//          \______________ reader thread ______________/
//
// The reader thread pulls bytes, recognises and parses items (ReadItem, supplied by the derived
// driver), queues them, paces the intake and, when reading fails, reconnects the link for up to
// the reconnection window before giving up. The delivery thread takes items off the queue and
// calls the owner. A later Start (after the reader ended on its own) makes a new pair of threads;
// the new delivery thread first waits for the old one, which ends once the queue is drained, so
// every item is delivered once and in order.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "acquisition/device.h"
#include "acquisition/input_buffer.h"
#include "hub/core/hub_config.h"
#include "hub/core/records.h"
#include "support/error_info.h"

namespace tessamer {

// What the driver hands its owner. The records are the driver's and die after the call returns:
// the owner copies what it keeps.
//
// Threads: OnData, OnHeader and OnTextLine come on the delivery thread; OnReaderEnded, OnError
// and OnReconnectProgress on the reader thread. The owner must accept calls from both. Any of
// them may call Stop.
class IDataHandler {
 public:
  virtual ~IDataHandler() = default;
  virtual void OnData(const Data& data) = 0;
  virtual void OnHeader(const Header& header) = 0;
  // The text of a "##" line, the two marks removed.
  virtual void OnTextLine(const std::string& text) = 0;
  // The reader thread's last act; `unexpected` is true when it ended without a stop request.
  virtual void OnReaderEnded(bool unexpected) = 0;
  // A read failed and reconnection is not allowed: the link's error text.
  virtual void OnError(const std::wstring& text) = 0;
  // Phase 0 (with the retry count, trying true) before each reconnection attempt; phase 2
  // (trying false) after a successful one. The result is not used.
  virtual bool OnReconnectProgress(int32_t phase, int32_t retryCount, bool trying) = 0;
};

// One queued item: a job header (kind 0), a data record (kind 1) or a text line (kind 2).
struct QueueItem {
  enum Kind : int32_t { kHeader = 0, kData = 1, kText = 2 };
  std::variant<std::unique_ptr<Header>, std::unique_ptr<Data>, std::string> payload;
  Kind kind() const { return static_cast<Kind>(payload.index()); }
};

class CQuintrelBaseDriver {
 public:
  // `handler` (not owned) must outlive the driver; the driver owns `device`. No thread runs
  // until Start. The time-outs default to the system's values; tests shrink them.
  CQuintrelBaseDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                      const AcquisitionTimeouts& timeouts = AcquisitionTimeouts());
  // Stops the threads if they still run and waits for them to end. Must not run on one of the
  // driver's own threads (from inside an IDataHandler call).
  virtual ~CQuintrelBaseDriver();
  CQuintrelBaseDriver(const CQuintrelBaseDriver&) = delete;
  CQuintrelBaseDriver& operator=(const CQuintrelBaseDriver&) = delete;

  // Starts the reader and delivery threads. May be called again once the reader has ended (the
  // owner reopened the link). False with LastError() set when the threads cannot be made or the
  // reader of the previous Start still runs.
  virtual bool Start();
  // Stops both threads; from any thread, also from inside an IDataHandler call. Returns when
  // both have ended, or after waiting `stopWait` for each. Never waits for the calling thread.
  virtual void Stop();

  // Recognises and reads one item from the input: 1 when an item was queued, 0 when a line was
  // consumed without one, negative when the input failed (-1, or -2 when stopping).
  virtual int ReadItem() = 0;
  // Writes text waiting for the box before each read. Nothing by default.
  virtual void SendPending() {}

  // For tools and tests that drive a driver without its threads (never while they run): one
  // reader step (SendPending, ReadItem, and the skip of one further line after an item read
  // that produced nothing): 1 item queued, 0 none, -1 the input failed.
  int ReadStep();
  // Hands every queued item to the handler on the calling thread; returns how many.
  size_t DeliverQueued();

  const ErrorInfo& LastError() const { return error; }
  CDevice& Device() { return *device; }
  int32_t DisconnectCount() const { return disconnectCount.load(); }
  bool Stopping() const { return stopping.load(); }

 protected:
  // Queueing, used by the item readers on the reader thread.
  void QueueHeader(std::unique_ptr<Header> header);
  void QueueData(std::unique_ptr<Data> data);
  void QueueText(std::string text);

  InputBuffer& Input() { return *input; }
  // Waits up to `pause` for a stop request. True when stopping.
  bool WaitForStop(std::chrono::milliseconds pause);
  // Shows an alert to the operator and waits until it is dismissed or a stop is requested (the
  // alert itself runs on a thread of its own, so a stop never waits for the operator).
  void ShowAlertAndWait(const std::wstring& text);
  // The reader pauses `refusalPause` (or until a stop) before its next reconnection.
  void NoteRefusal() { refusalPending = true; }
  // Stops and joins every thread; the derived destructor calls it before its members go.
  void Shutdown();

 private:
  struct Run;          // the threads of one Start
  struct AlertWait;    // an alert shown for the reader

  void Push(QueueItem item);
  // Wakes the delivery thread for the items queued since the last call. The reader calls it
  // before anything that may block it (a link read, a pause, a reconnection, an alert), so the
  // delivery thread is woken once per read rather than once per item.
  void SignalItems();
  void ReaderMain(const std::shared_ptr<Run>& self);
  void DeliveryMain(const std::shared_ptr<Run>& self);
  void RunReader();
  void RunDelivery(Run& self);
  void Deliver(QueueItem& item);
  void Pace();
  bool HandleFailedRead();  // false: the reader ends
  bool Reconnect();
  void Cleanup();
  bool WaitForThread(Run& run, bool reader);
  static int64_t NowMs();

  IDataHandler* handler;              // the owner, not owned
  std::unique_ptr<CDevice> device;    // the link
  std::unique_ptr<InputBuffer> input; // over `device`
  AcquisitionTimeouts timeouts;
  ErrorInfo error;                    // set when Start fails; owner's thread only

  // `lock` guards the queue, `run`, `deliveryWaiting` and `alert`. It is held only to add or
  // take items, never during a callback or link I/O.
  std::mutex lock;
  std::condition_variable itemReady;   // the delivery thread waits here
  std::condition_variable stopSignal;  // the reader's pauses wait here
  std::condition_variable threadEnded; // Stop waits here for a thread's end
  std::deque<QueueItem> queue;
  bool deliveryWaiting = false;
  std::shared_ptr<Run> run;            // the threads of the latest Start, if any
  std::shared_ptr<AlertWait> alert;    // the alert the reader waits for, if any

  std::atomic<bool> stopping{false};
  std::atomic<int32_t> retryCount{0};       // failed attempts of the current reconnection
  std::atomic<int32_t> disconnectCount{0};  // reconnections begun over the driver's life
  bool refusalPending = false;              // reader thread only
  bool unsignalled = false;                 // reader thread only: items queued, not signalled
  int64_t lastTakeTime;                     // reader thread only: ms tick of the last item
};

}  // namespace tessamer
