#pragma once
// Carries a viewer's "##" box command to the default box as a "GC" request over a utility
// connection made for that one command, and answers that viewer alone with one line:
// "## DCC OK_OT <the box's answer>\r\n" or "## DCC ERROR <the reason>\r\n".
//
//   data server worker ── Relay(line, reply) ──► pending (FIFO, at most kRelayPendingLimit)
//                                                   │
//   relay thread ◄──────────────────────────────────┘  connect, "GC <command>", acknowledgement,
//                                                       reply(...) to the sending viewer
//
// The relay never holds a data server worker: a box that is slow or silent delays only the
// commands queued behind it, never any viewer's data. Commands are relayed one at a time in the
// order they arrived, so each viewer gets its answers in the order of its commands.
//
// Threads: Relay from any thread (the data server's workers); the relay thread runs every box
// exchange and calls the reply functions. `lock` guards `pending`, `current` and `stopping`.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "hub/core/hub_config.h"
#include "server/command_relay.h"

namespace tessamer {

class CVellumetricUtility;

// "GC " + command + CR LF must fit the 512-byte request buffer (511 characters and its zero).
inline constexpr size_t kRelayCommandLimit = 506;
inline constexpr size_t kRelayPendingLimit = 64;  // commands waiting for the relay thread
inline constexpr std::chrono::milliseconds kRelayOpenTimeout{5000};

class CViewerCommandRelay : public ICommandRelay {
 public:
  // Commands go to `defaultBoxAddress` (dotted IPv4) on `boxUtilityPort`; `openTimeout` bounds
  // the connect and the banner wait of each command's connection. Starts the relay thread.
  explicit CViewerCommandRelay(std::string defaultBoxAddress = kDefaultBoxAddress,
                               uint16_t boxUtilityPort = kBoxUtilityPort,
                               std::chrono::milliseconds openTimeout = kRelayOpenTimeout);
  // Interrupts the exchange in progress, drops the commands still waiting and joins the thread.
  ~CViewerCommandRelay() override;
  CViewerCommandRelay(const CViewerCommandRelay&) = delete;
  CViewerCommandRelay& operator=(const CViewerCommandRelay&) = delete;

  // Queues the command and returns at once. When kRelayPendingLimit commands are already
  // waiting, the viewer is answered at once with "## DCC ERROR " and nothing is sent to a box.
  void Relay(std::string command, std::function<void(std::string)> reply) override;

  // The box command of a received "##" line: from its fourth character, cut to what a request
  // can carry.
  static std::string CommandOf(const std::string& line);

 private:
  struct Pending {
    std::string line;
    std::function<void(std::string)> reply;
  };

  void Run();
  void Exchange(const Pending& command);  // one box exchange and its reply

  const std::string defaultBoxAddress;
  const uint16_t boxUtilityPort;
  const std::chrono::milliseconds openTimeout;

  std::mutex lock;
  std::condition_variable wake;
  std::deque<Pending> pending;
  CVellumetricUtility* current = nullptr;  // the connection of the exchange in progress
  bool stopping = false;
  std::thread thread;  // last: started once everything above is ready
};

}  // namespace tessamer
