#pragma once
// The hub's representative of one logger box. It connects to its box on its own thread, reports
// its connection state as Activity messages, and once the bridge has given it its targets feeds
// every job header and data record of the box into the hub's network. A lost box is reopened
// until it is back; meanwhile the last record's time is repeated every hold period (with no
// values) so that merging several boxes does not stall.
//
//   run (agent thread):  Open --ok--> [driver reads] --reader ended--> hold timer, Open again
//                          |                                             (pause after a failure)
//                          +--first attempt failed--> ConnectFailed, done
//
// Threads: run and every Open on the agent's own thread; OnData/OnHeader on the driver's
// delivery thread; OnReaderEnded on its reader thread; SetTargets and RequestStop on the
// bridge's threads. `lock` guards `driver`, `link` and `holdTimer` (never held while waiting for
// an event or stopping the driver); `dataLock` guards `lastData` and the targets.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "acquisition/device.h"
#include "acquisition/data_handler.h"
#include "hub/core/hub_config.h"
#include "hub/core/records.h"
#include "hub/runtime/message_blocks.h"
#include "hub/runtime/message_timer.h"
#include "hub/runtime/runtime_agent.h"
#include "hub/runtime/runtime_event.h"

namespace tessamer {

class CHealthRecorder;
class CQuintrelDriver;
class CTcpDevice;

inline constexpr int32_t kAbortReasonStop = 2;  // the link is aborted because the agent stops

class CVellumetricAgent : public agent, public IDataHandler {
 public:
  // `activityTarget` receives every connection report of this agent; `health` (may be null,
  // must outlive the agent) what the reports do not carry: reconnections, error texts,
  // rejected lines. Nothing connects until start().
  CVellumetricAgent(int32_t agentIndex, const TcpOptions& options,
                    std::shared_ptr<ITarget<Activity>> activityTarget,
                    const AcquisitionTimeouts& timeouts = AcquisitionTimeouts(),
                    CHealthRecorder* health = nullptr);
  // Stops the agent if it still runs and waits for its thread.
  ~CVellumetricAgent() override;

  // Once per run, after every agent reported Connected: keeps both targets and starts reading.
  void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                  std::shared_ptr<ITarget<DataNotification>> dataTarget);
  // Asks the agent to end: aborts a connection attempt or a read at once. The caller then waits
  // for the agent to be done. Safe from any thread, also before start().
  void RequestStop();

  // IDataHandler.
  void OnData(const Data& data) override;
  void OnHeader(const Header& header) override;
  void OnTextLine(const std::string& text) override;
  void OnReaderEnded(bool unexpected) override;
  void OnError(const std::wstring& text) override;
  bool OnReconnectProgress(int32_t phase, int32_t retryCount, bool trying) override;
  void OnRejectedLine() override;

 protected:
  void run() override;

 private:
  void SendActivity(ActivityStatus status);
  bool OpenLink();            // false when the attempt failed
  void StartConnection();     // after a successful Open: driver made or restarted
  void StartHoldTimer();
  void DeleteHoldTimer();     // takes `lock`
  void EndConnection();       // stops and deletes the driver (or the link)
  void ReportLinkError();     // the link's error text to `health`; on the thread that failed

  const int32_t agentIndex;
  const TcpOptions options;
  const AcquisitionTimeouts timeouts;
  const std::shared_ptr<ITarget<Activity>> activityTarget;
  CHealthRecorder* const health;  // not owned; may be null

  std::mutex lock;
  std::unique_ptr<CQuintrelDriver> driver;          // guarded by lock; none until connected
  std::unique_ptr<CTcpDevice> ownedLink;            // guarded by lock; until the driver owns it
  CTcpDevice* link = nullptr;                       // guarded by lock; the box's link, if any
  std::unique_ptr<timer<DataNotification>> holdTimer;  // guarded by lock; none while connected

  std::mutex dataLock;
  std::shared_ptr<ITarget<HeaderNotification>> headerTarget;  // guarded by dataLock
  std::shared_ptr<ITarget<DataNotification>> dataTarget;      // guarded by dataLock
  DataNotification lastData{};                                // guarded by dataLock

  event stopEvent;         // the bridge asked the agent to stop
  event readerEndedEvent;  // the driver's reader thread has ended
};

}  // namespace tessamer
