#include "acquisition/quintrel_base_driver.h"

#include <system_error>

#include "acquisition/tcp_device.h"
#include "hub/core/alerts.h"
#include "support/error_numbers.h"
#include "support/simple_log_file.h"

namespace tessamer {
namespace {

constexpr int32_t kStopAbortReason = 1;
constexpr int32_t kFirstSocketError = 10000;  // codes from here on are socket errors: permanent
constexpr int64_t kPacingAllowanceMs = 100;
// A reconnection attempt that fails at once is not repeated sooner than this, so an odd
// immediate failure cannot spin the reader for the whole reconnection window.
constexpr std::chrono::milliseconds kMinAttemptSpacing{500};

CSimpleLogFile& Log() { return DiagnosticLog(); }

}  // namespace

// The threads of one Start. The flags are guarded by the driver's `lock`.
struct CQuintrelBaseDriver::Run {
  std::thread reader;
  std::thread delivery;
  std::thread previousReader;    // of the Start before; the new reader joins it first
  std::thread previousDelivery;  // of the Start before; the new delivery thread joins it first
  std::thread::id readerId;
  std::thread::id deliveryId;
  bool cancelled = false;        // Start failed: the threads end at once
  bool readerEnded = false;      // the reader queues nothing more
  bool readerDone = false;       // the reader thread has finished
  bool deliveryDone = false;     // the delivery thread has finished
  bool producerStopsItself = false;
  bool consumerStopsItself = false;
  bool forgotten = false;        // Stop has dealt with these threads
};

// An alert shown on a thread of its own while the reader waits for it.
struct CQuintrelBaseDriver::AlertWait {
  std::mutex mutex;
  std::condition_variable changed;
  bool dismissed = false;  // the operator closed it
  bool cancelled = false;  // a stop came first
};

CQuintrelBaseDriver::CQuintrelBaseDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                                         const AcquisitionTimeouts& timeouts)
    : handler(handler),
      device(std::move(device)),
      input(std::make_unique<InputBuffer>(this->device.get())),
      timeouts(timeouts),
      lastTakeTime(NowMs()) {
  input->SetBeforeRead([this] { SignalItems(); });
}

CQuintrelBaseDriver::~CQuintrelBaseDriver() { Shutdown(); }

bool CQuintrelBaseDriver::Start() {
  std::unique_lock<std::mutex> guard(lock);
  if (run && !run->readerEnded) {
    error.Set(0, L"The reader of the previous start is still running");
    return false;
  }
  auto next = std::make_shared<Run>();
  if (run) {
    next->previousReader = std::move(run->reader);
    next->previousDelivery = std::move(run->delivery);
  }
  stopping = false;
  input->SetStopping(false);
  // Both threads wait for `lock` before doing anything, so neither runs until both exist.
  try {
    next->reader = std::thread(&CQuintrelBaseDriver::ReaderMain, this, next);
    next->readerId = next->reader.get_id();
    next->delivery = std::thread(&CQuintrelBaseDriver::DeliveryMain, this, next);
    next->deliveryId = next->delivery.get_id();
  } catch (const std::system_error& failure) {
    next->cancelled = true;
    guard.unlock();
    if (next->reader.joinable()) next->reader.join();
    guard.lock();
    if (run) {
      run->reader = std::move(next->previousReader);
      run->delivery = std::move(next->previousDelivery);
    }
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure.code())));
    return false;
  }
  run = next;
  return true;
}

void CQuintrelBaseDriver::Stop() {
  Log().WriteLine(L"Stop called");
  std::shared_ptr<Run> current;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!run || run->forgotten) return;
    current = run;
    stopping = true;
    input->SetStopping(true);
    const auto self = std::this_thread::get_id();
    // A second Stop from another thread (the owner's destructor) must not undo these.
    if (self == current->readerId) current->producerStopsItself = true;
    if (self == current->deliveryId) current->consumerStopsItself = true;
    if (alert) {
      std::lock_guard<std::mutex> alertGuard(alert->mutex);
      alert->cancelled = true;
      alert->changed.notify_all();
    }
  }
  itemReady.notify_all();
  stopSignal.notify_all();
  device->Abort(kStopAbortReason);

  const auto self = std::this_thread::get_id();
  if (self != current->readerId) {
    Log().WriteLine(L"Waiting for producer to finish");
    WaitForThread(*current, true);
  }
  if (self != current->deliveryId) {
    Log().WriteLine(L"Waiting for consumer to finish");
    WaitForThread(*current, false);
  }
  std::lock_guard<std::mutex> guard(lock);
  current->forgotten = true;
}

bool CQuintrelBaseDriver::WaitForThread(Run& which, bool reader) {
  std::unique_lock<std::mutex> guard(lock);
  const bool done = threadEnded.wait_for(guard, timeouts.stopWait, [&] {
    return reader ? which.readerDone : which.deliveryDone;
  });
  if (!done) return false;
  std::thread& thread = reader ? which.reader : which.delivery;
  std::thread finished = std::move(thread);
  guard.unlock();
  if (finished.joinable()) finished.join();
  return true;
}

void CQuintrelBaseDriver::Shutdown() {
  std::shared_ptr<Run> current;
  bool running = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    current = run;
    running = current && !current->forgotten;
  }
  if (!current) return;
  if (running) Stop();
  const auto self = std::this_thread::get_id();
  for (std::thread* thread : {&current->reader, &current->delivery, &current->previousReader,
                              &current->previousDelivery}) {
    if (!thread->joinable()) continue;
    if (thread->get_id() == self) {
      thread->detach();  // destroyed from inside its own callback: it ends by itself
    } else {
      thread->join();
    }
  }
}

void CQuintrelBaseDriver::ReaderMain(const std::shared_ptr<Run>& self) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (self->cancelled) return;
  }
  if (self->previousReader.joinable()) self->previousReader.join();
  RunReader();
  {
    std::lock_guard<std::mutex> guard(lock);
    self->readerEnded = true;
  }
  itemReady.notify_all();
  handler->OnReaderEnded(!stopping.load());
  bool stopsItself = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    stopsItself = self->producerStopsItself;
    self->producerStopsItself = false;
  }
  if (stopsItself) Cleanup();
  std::lock_guard<std::mutex> guard(lock);
  self->readerDone = true;
  threadEnded.notify_all();
}

void CQuintrelBaseDriver::DeliveryMain(const std::shared_ptr<Run>& self) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (self->cancelled) return;
  }
  if (self->previousDelivery.joinable()) self->previousDelivery.join();
  RunDelivery(*self);
  std::lock_guard<std::mutex> guard(lock);
  self->deliveryDone = true;
  threadEnded.notify_all();
}

void CQuintrelBaseDriver::RunReader() {
  while (!stopping.load()) {
    const int result = ReadStep();
    if (result == 1) {
      Pace();
    } else if (result < 0 && !HandleFailedRead()) {
      break;
    }
  }
}

int CQuintrelBaseDriver::ReadStep() {
  SendPending();
  const int result = ReadItem();
  if (result == 1) return 1;
  if (result == 0 && !device->GetErrorInfo()->failed) {
    // The item read produced nothing: one further line is skipped before reading goes on.
    if (input->ReadLine(nullptr, 0) > 0) return 0;
  }
  return -1;
}

void CQuintrelBaseDriver::Pace() {
  const TcpOptions* options = device->GetOptions();
  const int64_t perMinute = options != nullptr ? options->MaxRecordsPerMinute : 0;
  const int64_t spacing = perMinute > 0 ? 60000 / perMinute : 0;
  const int64_t elapsed = NowMs() - lastTakeTime;
  if (!stopping.load() && elapsed + kPacingAllowanceMs < spacing) {
    SignalItems();
    if (WaitForStop(std::chrono::milliseconds(spacing - elapsed - kPacingAllowanceMs))) return;
  }
  lastTakeTime = NowMs();
}

bool CQuintrelBaseDriver::HandleFailedRead() {
  SignalItems();
  if (stopping.load()) return false;
  Log().WriteLine(L"ProduceItem has failed");
  if (device->IsFiniteSource()) return false;  // the delivery thread drains what is queued
  if (!device->IsReconnectAllowed()) {
    const ErrorInfo* failure = device->GetErrorInfo();
    if (failure->failed) handler->OnError(failure->text);
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
  Log().WriteLine(reconnected ? L"Device has reconnected" : L"Device failed to reconnected");
  return reconnected;
}

bool CQuintrelBaseDriver::Reconnect() {
  retryCount = 0;
  const int64_t start = NowMs();
  bool connected = false;
  if (stopping.load()) return false;
  for (;;) {
    if (connected) {
      handler->OnReconnectProgress(2, retryCount.load(), false);
      return true;
    }
    const int64_t attemptStart = NowMs();
    const int64_t left = timeouts.reconnectWindow.count() - (attemptStart - start);
    if (left <= 0) return false;
    Log().Printf(L"Reconnect: retryCount = %d, time left for tries: %ld", retryCount.load(),
                 static_cast<long>(left));
    handler->OnReconnectProgress(0, retryCount.load(), true);
    if (auto* tcp = dynamic_cast<CTcpDevice*>(device.get()); tcp != nullptr && tcp->IsConnected()) {
      tcp->Close();
      Log().WriteLine(L"Device was connected earlier, have closed it");
    }
    ErrorInfo failure;
    connected = device->Open(failure);
    if (connected) {
      Log().Printf(L"Device has connected. Start time: %ld, connection time: %ld",
                   static_cast<long>(start), static_cast<long>(NowMs()));
    } else {
      const int32_t code = device->GetErrorInfo()->code;
      if (code >= kFirstSocketError) {
        Log().Printf(
            L"A socket level permanent error has occurred during reconnect, going out. Error code: %d",
            code);
        return false;
      }
      ++retryCount;
      const auto spent = std::chrono::milliseconds(NowMs() - attemptStart);
      if (!stopping.load() && spent < kMinAttemptSpacing) WaitForStop(kMinAttemptSpacing - spent);
    }
    if (stopping.load()) {
      if (connected) handler->OnReconnectProgress(2, retryCount.load(), false);
      return connected;
    }
  }
}

void CQuintrelBaseDriver::RunDelivery(Run& self) {
  std::deque<QueueItem> batch;
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    if (stopping.load()) break;
    if (!queue.empty()) {
      batch.swap(queue);
      guard.unlock();
      for (QueueItem& item : batch) {
        if (stopping.load()) break;
        Deliver(item);
      }
      batch.clear();
      guard.lock();
      continue;
    }
    if (self.readerEnded) break;  // drained, and nothing more will come for this run
    deliveryWaiting = true;
    itemReady.wait(guard);
    deliveryWaiting = false;
  }
  const bool stopsItself = self.consumerStopsItself;
  self.consumerStopsItself = false;
  guard.unlock();
  batch.clear();
  if (stopsItself) Cleanup();
}

void CQuintrelBaseDriver::Deliver(QueueItem& item) {
  switch (item.kind()) {
    case QueueItem::kHeader:
      handler->OnHeader(*std::get<std::unique_ptr<Header>>(item.payload));
      break;
    case QueueItem::kData:
      handler->OnData(*std::get<std::unique_ptr<Data>>(item.payload));
      break;
    case QueueItem::kText:
      handler->OnTextLine(std::get<std::string>(item.payload));
      break;
  }
}

size_t CQuintrelBaseDriver::DeliverQueued() {
  size_t delivered = 0;
  for (;;) {
    QueueItem item;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (queue.empty()) return delivered;
      item = std::move(queue.front());
      queue.pop_front();
    }
    Deliver(item);
    ++delivered;
  }
}

void CQuintrelBaseDriver::Push(QueueItem item) {
  {
    std::lock_guard<std::mutex> guard(lock);
    queue.push_back(std::move(item));
  }
  unsignalled = true;
}

void CQuintrelBaseDriver::SignalItems() {
  if (!unsignalled) return;
  unsignalled = false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    wake = deliveryWaiting;
  }
  if (wake) itemReady.notify_one();
}

void CQuintrelBaseDriver::QueueHeader(std::unique_ptr<Header> header) {
  Push(QueueItem{std::move(header)});
}

void CQuintrelBaseDriver::QueueData(std::unique_ptr<Data> data) { Push(QueueItem{std::move(data)}); }

void CQuintrelBaseDriver::QueueText(std::string text) { Push(QueueItem{std::move(text)}); }

bool CQuintrelBaseDriver::WaitForStop(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> guard(lock);
  return stopSignal.wait_for(guard, pause, [this] { return stopping.load(); });
}

void CQuintrelBaseDriver::ShowAlertAndWait(const std::wstring& text) {
  SignalItems();
  if (!HasAlertWindow()) {
    ShowAlert(text, AlertIcon::Stop);  // no window: logged, returns at once
    return;
  }
  auto wait = std::make_shared<AlertWait>();
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping.load()) return;
    alert = wait;
  }
  try {
    std::thread([wait, text] {
      ShowAlert(text, AlertIcon::Stop);
      std::lock_guard<std::mutex> guard(wait->mutex);
      wait->dismissed = true;
      wait->changed.notify_all();
    }).detach();
    std::unique_lock<std::mutex> guard(wait->mutex);
    wait->changed.wait(guard, [&] { return wait->dismissed || wait->cancelled; });
  } catch (const std::system_error&) {
    ShowAlert(text, AlertIcon::Stop);
  }
  std::lock_guard<std::mutex> guard(lock);
  alert.reset();
}

void CQuintrelBaseDriver::Cleanup() {
  std::deque<QueueItem> dropped;
  {
    std::lock_guard<std::mutex> guard(lock);
    dropped.swap(queue);
  }
  dropped.clear();
  Log().WriteLine(L"Closing device");
  device->Close();
  Log().WriteLine(L"Device has been closed successfully");
}

int64_t CQuintrelBaseDriver::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tessamer
