#include "hub/bridge/utility_connections.h"

#include <utility>

#include "hub/core/records.h"
#include "support/text.h"
#include "utility/line_link.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

CUtilityConnections::CUtilityConnections(std::string defaultBoxAddress, uint16_t boxUtilityPort,
                                         std::chrono::milliseconds openTimeout)
    : defaultBoxAddress(std::move(defaultBoxAddress)),
      boxUtilityPort(boxUtilityPort),
      openTimeout(openTimeout) {}

CUtilityConnections::~CUtilityConnections() = default;

bool CUtilityConnections::Run(uint32_t boxAddress, std::string* reply, const Command& command) {
  const std::shared_ptr<CVellumetricUtility> connection = ConnectionTo(DottedText(boxAddress));
  const bool result = command(*connection);
  std::string& capture = connection->Link().capture;
  if (reply != nullptr) *reply = capture;
  capture.clear();
  return result;
}

// The cached connection, or a new one that is cached when it opens. One that did not open still
// runs its command (whose first send then fails) and is released afterwards.
std::shared_ptr<CVellumetricUtility> CUtilityConnections::ConnectionTo(
    const std::string& dottedAddress) {
  if (auto cached = connections.find(dottedAddress); cached != connections.end()) {
    return cached->second;
  }
  auto connection = std::make_shared<CVellumetricUtility>(false, true, std::wstring(),
                                                          defaultBoxAddress, boxUtilityPort);
  connection->SetOpenTimeout(openTimeout.count());
  connection->SetTarget(Widen(dottedAddress));
  if (connection->Connect()) connections[dottedAddress] = connection;
  return connection;
}

}  // namespace tessamer
