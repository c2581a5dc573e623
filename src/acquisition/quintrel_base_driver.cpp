#include "acquisition/quintrel_base_driver.h"

#include <system_error>
#include <utility>

#include "hub/core/alerts.h"
#include "support/error_numbers.h"
#include "support/simple_log_file.h"

namespace tessamer {
namespace {

constexpr int32_t kStopAbortReason = 1;
constexpr int64_t kPacingAllowanceMs = 100;
// A reconnection attempt that fails at once is not repeated sooner than this, so an odd
// immediate failure cannot spin the reader for the whole reconnection window.
constexpr std::chrono::milliseconds kMinAttemptSpacing{500};

CSimpleLogFile& Log() { return DiagnosticLog(); }

// What the calling thread is to a driver. Each of a driver's threads fills it in as it starts.
struct ThreadRole {
  const CQuintrelBaseDriver* driver = nullptr;  // the driver whose thread this is, if any
  bool reader = false;                          // its reader thread, else its delivery thread
  bool stoppedItself = false;  // Stop ran on this thread: it closes the link as its last act
  bool orphaned = false;       // the driver was destroyed on this thread: touch none of it
};
thread_local ThreadRole tRole;

bool OnReaderOf(const CQuintrelBaseDriver* driver) { return tRole.driver == driver && tRole.reader; }
bool OnDeliveryOf(const CQuintrelBaseDriver* driver) {
  return tRole.driver == driver && !tRole.reader;
}
// After a call to the owner: true when the owner destroyed the driver inside it.
bool Orphaned() { return tRole.orphaned; }

}  // namespace

// One of the driver's threads and how far it has got. `state` is guarded by the driver's
// `lock`; `thread` is moved, joined or detached only by whoever took the worker out of the
// driver, or (a superseded reader's) by the reader that follows it.
struct CQuintrelBaseDriver::Worker {
  std::jthread thread;
  WorkerState state = WorkerState::Running;
};

CQuintrelBaseDriver::CQuintrelBaseDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                                         const AcquisitionTimeouts& timeouts)
    : handler(handler),
      device(std::move(device)),
      input(std::make_unique<InputBuffer>(this->device.get())),
      timeouts(timeouts),
      queue(handler),
      lastTakeTime(NowMs()) {
  input->SetBeforeRead([this] { queue.Signal(); });
}

CQuintrelBaseDriver::~CQuintrelBaseDriver() { Shutdown(); }

// --- Start -----------------------------------------------------------------------------------

bool CQuintrelBaseDriver::Start() {
  Workers retired;  // joined once `lock` is released: a joined thread may want it
  const bool started = StartLocked(retired);
  JoinAll(retired);
  return started;
}

bool CQuintrelBaseDriver::StartLocked(Workers& retired) {
  std::lock_guard<std::mutex> guard(lock);
  if (session.reader && session.reader->state == WorkerState::Running) {
    error.Set(0, L"The reader of the previous start is still running");
    return false;
  }
  const bool newSession = !session.Running();
  if (newSession && !RetireStoppedSession(retired)) return false;
  input->SetStopping(false);
  try {
    if (newSession) session.delivery = LaunchDelivery();
    session.reader = LaunchReader(session.reader);
  } catch (const std::system_error& failure) {
    if (newSession && session.delivery) retired.push_back(std::move(session.delivery));
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure.code())));
    return false;
  }
  return true;
}

// After a Stop the threads of that session must have finished; Start joins them.
bool CQuintrelBaseDriver::RetireStoppedSession(Workers& retired) {
  if (!session.delivery) return true;
  const bool finished = session.delivery->state == WorkerState::Finished &&
                        session.reader->state == WorkerState::Finished;
  if (!finished) {
    error.Set(0, L"The threads of the previous start are still running");
    return false;
  }
  retired.push_back(std::move(session.delivery));
  retired.push_back(std::move(session.reader));
  return true;
}

std::shared_ptr<CQuintrelBaseDriver::Worker> CQuintrelBaseDriver::LaunchDelivery() {
  auto worker = std::make_shared<Worker>();
  worker->thread = std::jthread(
      [this, worker](std::stop_token stop) { DeliveryMain(std::move(stop), *worker); });
  return worker;
}

// The new reader joins `previous` (if any) before it reads.
std::shared_ptr<CQuintrelBaseDriver::Worker> CQuintrelBaseDriver::LaunchReader(
    const std::shared_ptr<Worker>& previous) {
  auto worker = std::make_shared<Worker>();
  worker->thread = std::jthread([this, worker, previous](std::stop_token stop) {
    ReaderMain(std::move(stop), *worker, previous.get());
  });
  return worker;
}

void CQuintrelBaseDriver::JoinAll(Workers& workers) {
  for (const std::shared_ptr<Worker>& worker : workers) {
    RequestWorkerStop(*worker);
    if (worker->thread.joinable()) worker->thread.join();
  }
}

void CQuintrelBaseDriver::RequestWorkerStop(Worker& worker) {
  worker.thread.request_stop();
  // Each wake takes the wait's mutex: a waiter either sees the request or already waits.
  {
    std::lock_guard<std::mutex> guard(readerWake->mutex);
    readerWake->changed.notify_all();
  }
  queue.WakeForStop();
}

// --- Stop and destruction --------------------------------------------------------------------

bool CQuintrelBaseDriver::Session::Running() const {
  return delivery && !delivery->thread.get_stop_token().stop_requested();
}

void CQuintrelBaseDriver::Stop() {
  Log().WriteLine(L"Stop called");
  const Session stopping = RequestStop();
  if (!stopping.delivery) return;
  device->Abort(kStopAbortReason);
  if (!OnReaderOf(this)) {
    Log().WriteLine(L"Waiting for producer to finish");
    WaitUntilFinished(*stopping.reader);
  }
  if (!OnDeliveryOf(this)) {
    Log().WriteLine(L"Waiting for consumer to finish");
    WaitUntilFinished(*stopping.delivery);
  }
}

// A driver thread that calls Stop closes the link as its last act, also when another thread's
// Stop came first.
CQuintrelBaseDriver::Session CQuintrelBaseDriver::RequestStop() {
  std::lock_guard<std::mutex> guard(lock);
  if (tRole.driver == this) tRole.stoppedItself = true;
  if (!session.Running()) return {};
  RequestWorkerStop(*session.delivery);
  RequestWorkerStop(*session.reader);
  input->SetStopping(true);
  return session;
}

void CQuintrelBaseDriver::WaitUntilFinished(Worker& worker) {
  std::unique_lock<std::mutex> guard(lock);
  threadEnded.wait_for(guard, timeouts.stopWait,
                       [&] { return worker.state == WorkerState::Finished; });
}

bool CQuintrelBaseDriver::RunningNow() {
  std::lock_guard<std::mutex> guard(lock);
  return session.Running();
}

void CQuintrelBaseDriver::Shutdown() {
  if (RunningNow()) Stop();
  Session ending;
  {
    std::lock_guard<std::mutex> guard(lock);
    std::swap(ending, session);
  }
  JoinOrLeave(ending);
  if (tRole.driver == this) tRole.orphaned = true;
}

void CQuintrelBaseDriver::JoinOrLeave(const Session& ending) {
  for (const std::shared_ptr<Worker>& worker : {ending.reader, ending.delivery}) {
    if (!worker || !worker->thread.joinable()) continue;
    if (worker->thread.get_id() == std::this_thread::get_id()) {
      worker->thread.detach();  // destroyed from inside its own call: it ends by itself
    } else {
      worker->thread.join();
    }
  }
}

// --- the threads -----------------------------------------------------------------------------

void CQuintrelBaseDriver::ReaderMain(std::stop_token stop, Worker& self, Worker* previous) {
  if (previous != nullptr && previous->thread.joinable()) previous->thread.join();
  tRole = ThreadRole{this, true};
  readerStop = stop;
  RunReader();
  if (Orphaned()) return;
  SetState(self, WorkerState::ItemsEnded);
  queue.Signal();
  handler->OnReaderEnded(!stop.stop_requested());
  if (Orphaned()) return;
  Finish(self);
}

void CQuintrelBaseDriver::DeliveryMain(std::stop_token stop, Worker& self) {
  tRole = ThreadRole{this, false};
  queue.DeliverUntilStopped(stop);
  if (Orphaned()) return;
  Finish(self);
}

void CQuintrelBaseDriver::SetState(Worker& worker, WorkerState state) {
  std::lock_guard<std::mutex> guard(lock);
  worker.state = state;
}

void CQuintrelBaseDriver::Finish(Worker& self) {
  if (tRole.stoppedItself) Cleanup();
  std::lock_guard<std::mutex> guard(lock);
  self.state = WorkerState::Finished;
  threadEnded.notify_all();
}

void CQuintrelBaseDriver::Cleanup() {
  queue.Drain();
  Log().WriteLine(L"Closing device");
  device->Close();
  Log().WriteLine(L"Device has been closed successfully");
}

// --- reading ---------------------------------------------------------------------------------

void CQuintrelBaseDriver::RunReader() {
  while (!Stopping()) {
    const int result = ReadStep();
    if (result == 1) {
      Pace();
    } else if (result < 0 && !HandleFailedRead()) {
      break;
    }
  }
}

// A line that yields no item is skipped alone: the next line is read on its own merits. An item
// read that consumed no bytes at all (or left the link failed) is a failed read.
int CQuintrelBaseDriver::ReadStep() {
  SendPending();
  const uint64_t consumedBefore = input->Consumed();
  const int result = ReadItem();
  if (result == 1) return 1;
  const bool consumed = input->Consumed() != consumedBefore;
  if (result != 0 || !consumed || device->GetErrorInfo()->failed) return -1;
  handler->OnRejectedLine();
  return 0;
}

void CQuintrelBaseDriver::Pace() {
  const TcpOptions* options = device->GetOptions();
  const int64_t perMinute = options != nullptr ? options->MaxRecordsPerMinute : 0;
  const int64_t spacing = perMinute > 0 ? 60000 / perMinute : 0;
  const int64_t elapsed = NowMs() - lastTakeTime;
  if (!Stopping() && elapsed + kPacingAllowanceMs < spacing) {
    queue.Signal();
    if (WaitForStop(std::chrono::milliseconds(spacing - elapsed - kPacingAllowanceMs))) return;
  }
  lastTakeTime = NowMs();
}

void CQuintrelBaseDriver::QueueHeader(std::unique_ptr<Header> header) {
  queue.Push(QueueItem{std::move(header)});
}

void CQuintrelBaseDriver::QueueData(std::unique_ptr<Data> data) {
  queue.Push(QueueItem{std::move(data)});
}

void CQuintrelBaseDriver::QueueText(std::string text) { queue.Push(QueueItem{std::move(text)}); }

// --- a failed read and reconnection ----------------------------------------------------------

bool CQuintrelBaseDriver::HandleFailedRead() {
  queue.Signal();
  if (Stopping()) return false;
  Log().WriteLine(L"ProduceItem has failed");
  if (!device->IsReconnectAllowed()) {
    const ErrorInfo* failure = device->GetErrorInfo();
    if (failure->failed) handler->OnError(std::wstring(failure->text));
    return false;
  }
  Log().Printf(L"Device is capable of reconnecting. Current disconnect count: %d",
               disconnectCount.load());
  ++disconnectCount;
  if (refusalPending) {
    // A refused box is not asked again at once: that would spin refuse-reconnect-refuse.
    refusalPending = false;
    if (WaitForStop(timeouts.refusalPause)) return false;
  }
  const bool reconnected = Reconnect();
  if (Orphaned()) return false;
  Log().WriteLine(reconnected ? L"Device has reconnected" : L"Device failed to reconnected");
  return reconnected;
}

bool CQuintrelBaseDriver::Reconnect() {
  const int64_t start = NowMs();
  int32_t retryCount = 0;  // failed attempts of this reconnection
  if (Stopping()) return false;
  for (;;) {
    const int64_t left = timeouts.reconnectWindow.count() - (NowMs() - start);
    if (left <= 0) return false;
    Log().Printf(L"Reconnect: retryCount = %d, time left for tries: %ld", retryCount,
                 static_cast<long>(left));
    handler->OnReconnectProgress(kReconnectAttempt, retryCount, true);
    if (Orphaned()) return false;
    const ReconnectAttempt attempt = AttemptReconnect(start);
    if (attempt == ReconnectAttempt::Connected) {
      handler->OnReconnectProgress(kReconnected, retryCount, false);
      return true;
    }
    if (attempt == ReconnectAttempt::GaveUp || Stopping()) return false;
    ++retryCount;
  }
}

CQuintrelBaseDriver::ReconnectAttempt CQuintrelBaseDriver::AttemptReconnect(int64_t start) {
  const int64_t attemptStart = NowMs();
  if (device->IsConnected()) {
    device->Close();
    Log().WriteLine(L"Device was connected earlier, have closed it");
  }
  ErrorInfo failure;
  if (device->Open(failure)) {
    Log().Printf(L"Device has connected. Start time: %ld, connection time: %ld",
                 static_cast<long>(start), static_cast<long>(NowMs()));
    return ReconnectAttempt::Connected;
  }
  const int32_t code = device->GetErrorInfo()->code;
  if (code >= kFirstSocketError) {  // a socket error is permanent
    Log().Printf(
        L"A socket level permanent error has occurred during reconnect, going out. Error code: %d",
        code);
    return ReconnectAttempt::GaveUp;
  }
  SpaceAttempts(attemptStart);
  return ReconnectAttempt::Failed;
}

void CQuintrelBaseDriver::SpaceAttempts(int64_t attemptStart) {
  const auto spent = std::chrono::milliseconds(NowMs() - attemptStart);
  if (spent < kMinAttemptSpacing) WaitForStop(kMinAttemptSpacing - spent);
}

// --- waits -----------------------------------------------------------------------------------

bool CQuintrelBaseDriver::WaitForStop(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> guard(readerWake->mutex);
  return readerWake->changed.wait_for(guard, pause, [this] { return readerStop.stop_requested(); });
}

void CQuintrelBaseDriver::ShowAlertAndWait(const std::wstring& text) {
  queue.Signal();
  if (!HasAlertWindow()) {
    ShowAlert(text, AlertIcon::Stop);  // no window: logged, returns at once
    return;
  }
  if (Stopping()) return;
  // The operator closed the alert; guarded by readerWake's mutex.
  auto closed = std::make_shared<bool>(false);
  try {
    std::thread([wake = readerWake, closed, text] {
      ShowAlert(text, AlertIcon::Stop);
      std::lock_guard<std::mutex> guard(wake->mutex);
      *closed = true;
      wake->changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    ShowAlert(text, AlertIcon::Stop);
    return;
  }
  std::unique_lock<std::mutex> guard(readerWake->mutex);
  readerWake->changed.wait(guard, [&] { return *closed || readerStop.stop_requested(); });
}

int64_t CQuintrelBaseDriver::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tessamer
