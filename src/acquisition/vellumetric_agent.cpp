#include "acquisition/vellumetric_agent.h"

#include <utility>

#include "acquisition/quintrel_driver.h"
#include "acquisition/tcp_device.h"
#include "hub/core/health_recorder.h"
#include "support/error_numbers.h"
#include "support/text.h"

namespace tessamer {

namespace {

// A link failure in a few words: a socket error's own system text ("Connection refused"), not
// the operation it cut short; the link's text otherwise.
std::string FailureText(const ErrorInfo& failure) {
  if (failure.code < kFirstSocketError) return Utf8(failure.text);
  ErrorInfo plain;
  plain.SetSystemError(static_cast<uint32_t>(failure.code));
  return Utf8(plain.text);
}

}  // namespace

CVellumetricAgent::CVellumetricAgent(int32_t agentIndex, const TcpOptions& options,
                                     std::shared_ptr<ITarget<Activity>> activityTarget,
                                     const AcquisitionTimeouts& timeouts,
                                     CHealthRecorder* health)
    : agentIndex(agentIndex),
      options(options),
      timeouts(timeouts),
      activityTarget(std::move(activityTarget)),
      health(health) {
  lastData.agent = agentIndex;
  lastData.repeat = true;
}

CVellumetricAgent::~CVellumetricAgent() {
  RequestStop();
  join();
}

void CVellumetricAgent::run() {
  // A stop request that came before run began is kept: the agent then ends without connecting.
  {
    std::lock_guard guard(lock);
    ownedLink = std::make_unique<CTcpDevice>(options, timeouts);
    ownedLink->SetReceiveTimeout(timeouts.firstReceive);
    ownedLink->SetReconnectAllowed(true);
    link = ownedLink.get();
  }
  bool everConnected = false;
  while (!stopEvent.is_set()) {
    if (!OpenLink()) {
      SendActivity(everConnected ? ConnectionLost : ConnectFailed);
      if (!everConnected) break;
      // A box that refuses at once must not make the agent spin: pause before the next attempt.
      if (stopEvent.wait_for(timeouts.reopenPause)) break;
      continue;
    }
    StartConnection();
    if (event::wait_for_multiple({&stopEvent, &readerEndedEvent}) != 1) break;
    // The driver's own reconnection gave up: hold the box's place until it is back.
    StartHoldTimer();
    everConnected = true;
  }
  EndConnection();
  done();
}

bool CVellumetricAgent::OpenLink() {
  ErrorInfo scratch;
  if (link->Open(scratch)) return true;  // `link` changes only on this thread
  ReportLinkError();
  return false;
}

void CVellumetricAgent::ReportLinkError() {
  if (health == nullptr) return;
  const ErrorInfo* failure = nullptr;
  {
    std::lock_guard guard(lock);
    if (link != nullptr) failure = link->GetErrorInfo();
  }
  // The record is written by the thread whose operation failed: this one.
  if (failure != nullptr && failure->failed) health->BoxError(agentIndex, FailureText(*failure));
}

void CVellumetricAgent::StartConnection() {
  DeleteHoldTimer();
  readerEndedEvent.reset();
  {
    std::lock_guard guard(lock);
    if (driver) {
      driver->Start();  // a reconnection after the reader ended
    } else {
      // The driver owns the link from now on; it starts reading once the targets are set.
      driver = std::make_unique<CQuintrelDriver>(this, std::move(ownedLink), timeouts);
    }
  }
  SendActivity(Connected);
}

void CVellumetricAgent::StartHoldTimer() {
  std::lock_guard guard(lock);
  if (holdTimer) return;
  std::shared_ptr<ITarget<DataNotification>> target;
  DataNotification value;
  {
    std::lock_guard dataGuard(dataLock);
    target = dataTarget;
    value = lastData;
  }
  if (!target) return;
  holdTimer = std::make_unique<timer<DataNotification>>(timeouts.holdPeriod, value,
                                                        std::move(target), true);
  holdTimer->start();
}

void CVellumetricAgent::DeleteHoldTimer() {
  std::unique_ptr<timer<DataNotification>> ending;
  {
    std::lock_guard guard(lock);
    ending = std::move(holdTimer);
  }
  if (ending) ending->stop();
}

void CVellumetricAgent::EndConnection() {
  std::unique_ptr<CQuintrelDriver> endingDriver;
  std::unique_ptr<CTcpDevice> endingLink;
  std::unique_ptr<timer<DataNotification>> endingTimer;
  {
    std::lock_guard guard(lock);
    endingDriver = std::move(driver);
    endingLink = std::move(ownedLink);
    endingTimer = std::move(holdTimer);
    link = nullptr;
  }
  if (endingTimer) endingTimer->stop();
  if (endingDriver) endingDriver->Stop();
  // Each goes as its owner goes out of scope: the driver takes the link with it.
}

void CVellumetricAgent::SetTargets(std::shared_ptr<ITarget<HeaderNotification>> header,
                                   std::shared_ptr<ITarget<DataNotification>> data) {
  {
    std::lock_guard dataGuard(dataLock);
    headerTarget = std::move(header);
    dataTarget = std::move(data);
  }
  std::lock_guard guard(lock);
  if (driver) driver->Start();
}

void CVellumetricAgent::RequestStop() {
  stopEvent.set();
  std::unique_ptr<timer<DataNotification>> endingTimer;
  {
    std::lock_guard guard(lock);
    endingTimer = std::move(holdTimer);
    if (link != nullptr) {
      link->Abort(kAbortReasonStop);
      link->Close();
    }
  }
  if (endingTimer) endingTimer->stop();
}

void CVellumetricAgent::SendActivity(ActivityStatus status) {
  send(activityTarget, Activity{status, agentIndex});
}

// The record's time is kept before the record is passed on: once the data target has a record,
// a hold timer made after the reader ended must repeat that record's time, not the one before.
void CVellumetricAgent::OnData(const Data& data) {
  std::shared_ptr<ITarget<DataNotification>> target;
  {
    std::lock_guard dataGuard(dataLock);
    target = dataTarget;
    lastData.data.fraction = data.fraction;
    lastData.data.time = data.time;
    lastData.data.timestamp = data.timestamp;
  }
  send(target, DataNotification{data, agentIndex});
}

void CVellumetricAgent::OnHeader(const Header& header) {
  std::shared_ptr<ITarget<HeaderNotification>> target;
  {
    std::lock_guard dataGuard(dataLock);
    target = headerTarget;
  }
  send(target, HeaderNotification{header, agentIndex});
}

void CVellumetricAgent::OnTextLine(const std::string&) {}

void CVellumetricAgent::OnReaderEnded(bool unexpected) {
  readerEndedEvent.set();
  if (unexpected && !stopEvent.is_set()) SendActivity(ConnectionLost);
}

void CVellumetricAgent::OnError(const std::wstring& text) {
  if (health != nullptr) health->BoxError(agentIndex, Utf8(text));
}

// Before each attempt the link's error is the last failure: the read that lost the box, then
// each failed attempt.
bool CVellumetricAgent::OnReconnectProgress(int32_t phase, int32_t retryCount, bool) {
  if (health == nullptr) return false;
  if (phase == kReconnected) {
    health->BoxReconnected(agentIndex);
    return false;
  }
  ReportLinkError();
  if (retryCount == 0) health->BoxReconnecting(agentIndex);
  return false;
}

void CVellumetricAgent::OnRejectedLine() {
  if (health != nullptr) health->BoxRejectedLine(agentIndex);
}

}  // namespace tessamer
