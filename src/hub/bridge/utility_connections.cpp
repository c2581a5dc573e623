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

std::string CUtilityConnections::KeyOf(uint32_t boxAddress) { return DottedText(boxAddress); }

bool CUtilityConnections::Run(uint32_t boxAddress, std::string* reply, const Command& command) {
  const std::shared_ptr<CVellumetricUtility> connection = ConnectionTo(KeyOf(boxAddress));
  const bool result = command(*connection);
  std::string& capture = connection->Link().capture;
  if (reply != nullptr) *reply = capture;
  capture.clear();
  return result;
}

// The connections are closed (a pause each) outside the lock.
void CUtilityConnections::CloseAll() {
  std::map<std::string, std::shared_ptr<CVellumetricUtility>> closing;
  std::lock_guard guard(lock);
  closing.swap(connections);
}

size_t CUtilityConnections::Count() const {
  std::lock_guard guard(lock);
  return connections.size();
}

// The cached connection, or a new one that is cached when it opens. One that did not open still
// runs its command (whose first send then fails) and is released afterwards. No other thread
// opens one for the same key meanwhile (one call per key at a time).
std::shared_ptr<CVellumetricUtility> CUtilityConnections::ConnectionTo(const std::string& key) {
  {
    std::lock_guard guard(lock);
    if (auto cached = connections.find(key); cached != connections.end()) return cached->second;
  }
  auto connection = std::make_shared<CVellumetricUtility>(false, true, std::wstring(),
                                                          defaultBoxAddress, boxUtilityPort);
  connection->SetOpenTimeout(openTimeout.count());
  connection->SetTarget(Widen(key));
  if (connection->Connect()) {
    std::lock_guard guard(lock);
    connections[key] = connection;
  }
  return connection;
}

}  // namespace tessamer
