#include "app/status/hub_with_status.h"

#include "support/text.h"

namespace tessamer {

CHubWithStatus::CHubWithStatus(std::unique_ptr<IHubControl> hub, StatusEndpoint endpoint)
    : hub(std::move(hub)), status([this] { return this->hub->Health(); }, std::move(endpoint)) {
  this->hub->AddOutput(status.EventOutput());
}

CHubWithStatus::~CHubWithStatus() { status.Stop(); }

bool CHubWithStatus::StartServers() {
  std::string error;
  if (!status.Start(error)) {
    statusError.Set(0, Widen(error));
    return false;
  }
  return hub->StartServers();
}

}  // namespace tessamer
