#pragma once
// The connection driver of one box: turns the byte stream of its link into job headers, data
// records and text lines and hands them, in arrival order, to its owner.
//
//   owner thread        reader thread (one per Start)              delivery thread (Start..Stop)
//   ------------        -----------------------------              -----------------------------
//   Start ------------> joins the reader of the Start before
//                       SendPending, ReadItem:
//                         link -> InputBuffer -> parse -> Push
//                       before a blocking step: Signal ----------> DeliverUntilStopped: OnData,
//                       a failed read: Reconnect                     OnHeader, OnTextLine
//                         (OnReconnectProgress)                    ... until a stop request
//                       gives up: OnError, ends: OnReaderEnded
//   Stop: asks both threads to stop, aborts the link, waits up to `stopWait` for each
//
// The reader pulls bytes, recognises and parses items (ReadItem, supplied by the derived
// driver), queues them, paces the intake and, when reading fails, reconnects the link for up to
// the reconnection window before giving up. The delivery thread lives from a Start to the Stop
// after it: a later Start (after the reader ended on its own) adds a new reader only, so every
// item is delivered once and in order by the one thread.
//
// Each thread stops on its std::jthread's stop token; Stop requests both and wakes their waits
// itself (RequestWorkerStop): no wait registers a std::stop_callback, whose destructor can wait
// for ever under MinGW-w64 (see item_queue.h). A thread on which Stop runs (from inside an
// IDataHandler call) is not waited for: it closes the link itself as its last act. A thread on
// which the driver is destroyed touches nothing of it after the call.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/data_handler.h"
#include "acquisition/device.h"
#include "acquisition/input_buffer.h"
#include "acquisition/item_queue.h"
#include "hub/core/hub_config.h"
#include "hub/core/records.h"
#include "support/error_info.h"

namespace tessamer {

class CQuintrelBaseDriver {
 public:
  // `handler` (not owned) must outlive the driver; the driver owns `device`. No thread runs
  // until Start. The time-outs default to the system's values; tests shrink them.
  CQuintrelBaseDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                      const AcquisitionTimeouts& timeouts = AcquisitionTimeouts());
  // Stops the threads if they still run and waits for them to end. May run inside an
  // IDataHandler call of the current reader or delivery thread (not inside an OnReaderEnded
  // that started the driver again).
  virtual ~CQuintrelBaseDriver();
  CQuintrelBaseDriver(const CQuintrelBaseDriver&) = delete;
  CQuintrelBaseDriver& operator=(const CQuintrelBaseDriver&) = delete;

  // Starts reading (and delivering). May be called again once the reader has ended (the owner
  // reopened the link), also from inside OnReaderEnded. False with LastError() set when a thread
  // cannot be made or one of the previous Start still runs.
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
  // reader step (SendPending, ReadItem): 1 item queued, 0 a line consumed without one, -1 the
  // input failed.
  int ReadStep();
  // Hands every queued item to the handler on the calling thread; returns how many. The
  // handler must not delete the driver inside these calls.
  size_t DeliverQueued() { return queue.DeliverAll(); }

  const ErrorInfo& LastError() const { return error; }
  CDevice& Device() { return *device; }
  int32_t DisconnectCount() const { return disconnectCount.load(); }

 protected:
  // Queueing, used by the item readers on the reader thread.
  void QueueHeader(std::unique_ptr<Header> header);
  void QueueData(std::unique_ptr<Data> data);
  void QueueText(std::string text);

  InputBuffer& Input() { return *input; }
  // Shows an alert to the operator and waits until it is dismissed or a stop is requested (the
  // alert itself runs on a thread of its own, so a stop never waits for the operator).
  void ShowAlertAndWait(const std::wstring& text);
  // The reader pauses `refusalPause` (or until a stop) before its next reconnection.
  void NoteRefusal() { refusalPending = true; }
  // Stops and joins every thread; the derived destructor calls it before its members go.
  void Shutdown();

 private:
  enum class WorkerState {
    Running,     // working; a reader may still queue items
    ItemsEnded,  // a reader that queues nothing more and is about to tell the owner
    Finished,    // the thread's function has returned or is about to
  };
  enum class ReconnectAttempt { Connected, Failed, GaveUp };
  struct Worker;  // one thread and its state
  using Workers = std::vector<std::shared_ptr<Worker>>;
  // The threads from a Start to the Stop after it.
  struct Session {
    std::shared_ptr<Worker> reader;    // the latest reader
    std::shared_ptr<Worker> delivery;  // null: no session
    bool Running() const;              // started and not asked to stop
  };

  // Start's steps, under `lock`.
  bool StartLocked(Workers& retired);
  bool RetireStoppedSession(Workers& retired);
  std::shared_ptr<Worker> LaunchDelivery();
  std::shared_ptr<Worker> LaunchReader(const std::shared_ptr<Worker>& previous);
  void JoinAll(Workers& workers);
  // Requests `worker`'s stop and wakes whichever wait it may be in.
  void RequestWorkerStop(Worker& worker);
  // Asks the session's threads to stop and returns them; no session when none was running.
  Session RequestStop();
  void WaitUntilFinished(Worker& worker);
  bool RunningNow();
  // Joins the threads of `ending`, or leaves the calling thread's own to end by itself.
  static void JoinOrLeave(const Session& ending);

  // The threads' bodies.
  void ReaderMain(std::stop_token stop, Worker& self, Worker* previous);
  void DeliveryMain(std::stop_token stop, Worker& self);
  void SetState(Worker& worker, WorkerState state);
  void Finish(Worker& self);
  void RunReader();
  void Pace();
  bool HandleFailedRead();  // false: the reader ends
  bool Reconnect();
  ReconnectAttempt AttemptReconnect(int64_t start);
  void SpaceAttempts(int64_t attemptStart);
  void Cleanup();
  bool Stopping() const { return readerStop.stop_requested(); }  // reader thread only
  // Waits up to `pause` for a stop request. True when stopping.
  bool WaitForStop(std::chrono::milliseconds pause);
  static int64_t NowMs();

  IDataHandler* handler;              // the owner, not owned
  std::unique_ptr<CDevice> device;    // the link
  std::unique_ptr<InputBuffer> input; // over `device`
  const AcquisitionTimeouts timeouts;
  CItemQueue queue;

  // `lock` guards `session`, every worker's state and `error`. It is never held during a call
  // to the owner or link I/O.
  std::mutex lock;
  std::condition_variable threadEnded;  // Stop waits here for a worker to finish
  Session session;
  ErrorInfo error;                      // set when Start fails

  std::atomic<int32_t> disconnectCount{0};  // reconnections begun over the driver's life
  std::stop_token readerStop;               // reader thread only: its stop token
  // The reader's waits for a stop (WaitForStop, ShowAlertAndWait) wait here; shared with an
  // alert's thread, which may outlive the driver.
  struct ReaderWake {
    std::mutex mutex;
    std::condition_variable changed;
  };
  const std::shared_ptr<ReaderWake> readerWake = std::make_shared<ReaderWake>();
  bool refusalPending = false;              // reader thread only
  int64_t lastTakeTime;                     // reader thread only: ms tick of the last item
};

}  // namespace tessamer
