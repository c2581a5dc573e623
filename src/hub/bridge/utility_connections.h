#pragma once
// The hub's open setpoint utility connections, one per box, kept from a box's first utility
// request until the last utility client goes. Each command's reply is the text the box answered it
// with, as its connection captured it.
//
// Threads: the utility server's request executor only, one call at a time (and the owner's
// destruction once the executor has been joined); Count also from a thread that knows the
// executor is idle.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tessamer {

class CVellumetricUtility;

class CUtilityConnections {
 public:
  using Command = std::function<bool(CVellumetricUtility&)>;

  // Connections go to each box's `boxUtilityPort`; `openTimeout` bounds the connect and the
  // banner wait of an opening. `defaultBoxAddress` (dotted) stands until a target is set.
  CUtilityConnections(std::string defaultBoxAddress, uint16_t boxUtilityPort,
                      std::chrono::milliseconds openTimeout);
  ~CUtilityConnections();
  CUtilityConnections(const CUtilityConnections&) = delete;
  CUtilityConnections& operator=(const CUtilityConnections&) = delete;

  // Runs `command` over the connection to the box at `boxAddress` (Box::address), opening one
  // when none is cached; only a connection that opened is cached. `reply` (may be null) gets what
  // the box answered. The command's result.
  bool Run(uint32_t boxAddress, std::string* reply, const Command& command);
  // Closes every cached connection (each goes when its last share goes).
  void CloseAll() { connections.clear(); }
  size_t Count() const { return connections.size(); }

 private:
  std::shared_ptr<CVellumetricUtility> ConnectionTo(const std::string& dottedAddress);

  const std::string defaultBoxAddress;
  const uint16_t boxUtilityPort;
  const std::chrono::milliseconds openTimeout;
  std::map<std::string, std::shared_ptr<CVellumetricUtility>> connections;  // by dotted address
};

}  // namespace tessamer
