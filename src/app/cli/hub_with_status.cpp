#include "app/cli/hub_with_status.h"

#include "support/text.h"

namespace tessamer {

CHubWithStatus::CHubWithStatus(std::unique_ptr<IHubControl> hub, StatusEndpoint endpoint)
    : hub(std::move(hub)), endpoint(std::move(endpoint)), status([this] { return this->hub->Health(); }) {}

CHubWithStatus::~CHubWithStatus() { status.Stop(); }

bool CHubWithStatus::StartServers() {
  std::string error;
  if (!status.Start(endpoint.address, endpoint.port, error)) {
    statusError.Set(0, Widen(error));
    return false;
  }
  return hub->StartServers();
}

}  // namespace tessamer
