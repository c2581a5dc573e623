#pragma once
// What the window and the headless runner need of the hub: the bridge's public face. The window
// depends on this rather than on the bridge itself so that it can be exercised with a fake.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "hub/core/health.h"
#include "hub/core/job_output.h"
#include "hub/core/records.h"
#include "support/error_info.h"

namespace tessamer {

// Threads: every operation but Health is called on the owner's (window) thread only.
class IHubControl {
 public:
  virtual ~IHubControl() = default;
  // Starts the data and utility servers; false only when the data server failed with a nonzero
  // error number (StartError() then says why, in the words the window shows). A utility server
  // that could not start is alerted and leaves the result true: UtilityPort() is then 0 and,
  // unless the data server failed too, StartError() says why.
  virtual bool StartServers() = 0;
  // Starts one run for 1 to MaxBoxes boxes with the given channel limit (1 to 6). With
  // HubConfig::serveAvailable on, a run whose start finds some boxes unreachable serves the
  // others and starts again once one of them answers (RunPartialNotice).
  virtual bool Start(const std::vector<Box>& boxes, int channelLimit) = 0;
  // Ends the run, if any, and waits until it has ended.
  virtual bool Stop() = 0;
  virtual const ErrorInfo& StartError() const = 0;
  virtual uint16_t DataPort() const = 0;     // bound port of the data server, 0 before it listens
  virtual uint16_t UtilityPort() const = 0;  // bound port of the utility server, 0 before
  // A consistent snapshot of every box, viewer and the run; from any thread.
  virtual HubHealth Health() const = 0;
  // Sends a probe through the threads that do the hub's work: the message runtime's pool, the
  // run's routing blocks (during a run) and every data server worker. `done` is called once each
  // has let it through, never while one of them is stuck; on one of those threads, or on the one
  // that ends a run or the server (an ending part lets the probe through).
  virtual void Probe(std::function<void()> done) = 0;
  // Bound port of the status endpoint serving this hub's health; 0 when there is none.
  virtual uint16_t StatusPort() const { return 0; }
  // Adds an output of the combined job (hub/core/job_output.h); call before StartServers. Every
  // later run hands it its events. A hub without a combined job of its own (a test's stand-in)
  // may keep it without calling it.
  virtual void AddOutput(std::shared_ptr<IJobOutput> output) = 0;
};

}  // namespace tessamer
