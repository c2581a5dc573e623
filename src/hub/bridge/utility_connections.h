#pragma once
// The hub's open setpoint utility connections, one per box, kept from a box's first utility
// request until the last utility client goes. Each command's reply is the text the box answered it
// with, as its connection captured it.
//
// Threads: Run for different boxes side by side on any threads, but for one box (one KeyOf) one
// call at a time: the utility request executor runs each box's commands in that box's lane, so a
// box connection is used by one thread at a time. CloseAll and Count from any thread. `lock`
// guards `connections` alone: it is never held while a connection opens, runs a command or
// closes, so a box that does not answer holds up no other box.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

  // The name of the connection to the box at `boxAddress` (Box::address): its dotted address.
  static std::string KeyOf(uint32_t boxAddress);

  // Runs `command` over the connection to the box at `boxAddress` (Box::address), opening one
  // when none is cached; only a connection that opened is cached. `reply` (may be null) gets what
  // the box answered. The command's result.
  bool Run(uint32_t boxAddress, std::string* reply, const Command& command);
  // Lets every cached connection go; each closes when its last share goes (a command running on
  // it keeps it until the command ends).
  void CloseAll();
  size_t Count() const;

 private:
  std::shared_ptr<CVellumetricUtility> ConnectionTo(const std::string& key);

  const std::string defaultBoxAddress;
  const uint16_t boxUtilityPort;
  const std::chrono::milliseconds openTimeout;
  mutable std::mutex lock;
  std::map<std::string, std::shared_ptr<CVellumetricUtility>> connections;  // by KeyOf
};

}  // namespace tessamer
