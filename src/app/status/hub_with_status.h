#pragma once
// A hub whose health is also served by a status endpoint: the hub it wraps, and a CStatusServer
// that starts with the hub's servers (before them, so that a taken status port starts nothing)
// and stops before the hub goes. The endpoint's event stream is one of the hub's outputs.
//
// Threads: as IHubControl; the status server's thread calls the wrapped hub's Health.

#include <memory>
#include <string>

#include "app/status/status_server.h"
#include "hub/bridge/hub_control.h"

namespace tessamer {

class CHubWithStatus : public IHubControl {
 public:
  // Gives `hub` the endpoint's event output at once (before its servers start).
  CHubWithStatus(std::unique_ptr<IHubControl> hub, StatusEndpoint endpoint);
  // Stops the status endpoint, then destroys the hub.
  ~CHubWithStatus() override;
  CHubWithStatus(const CHubWithStatus&) = delete;
  CHubWithStatus& operator=(const CHubWithStatus&) = delete;

  // Starts the status endpoint, then the hub's servers. False when either could not start;
  // StartError then says which and why.
  bool StartServers() override;
  bool Start(const std::vector<Box>& boxes, int channelLimit) override { return hub->Start(boxes, channelLimit); }
  bool Stop() override { return hub->Stop(); }
  const ErrorInfo& StartError() const override { return statusError.failed ? statusError : hub->StartError(); }
  uint16_t DataPort() const override { return hub->DataPort(); }
  uint16_t UtilityPort() const override { return hub->UtilityPort(); }
  HubHealth Health() const override { return hub->Health(); }
  void Probe(std::function<void()> done) override { hub->Probe(std::move(done)); }
  uint16_t StatusPort() const override { return status.Port(); }
  void AddOutput(std::shared_ptr<IJobOutput> output) override { hub->AddOutput(std::move(output)); }
  const HttpServerCounters& StatusCounters() const { return status.Counters(); }

 private:
  std::unique_ptr<IHubControl> hub;
  CStatusServer status;  // declared after `hub`: destroyed first
  ErrorInfo statusError;
};

}  // namespace tessamer
