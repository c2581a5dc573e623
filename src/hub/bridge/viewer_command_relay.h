#pragma once
// Carries a viewer's "##" box command to the default box as a "GC" request over a utility
// connection made for that one command, and answers that viewer alone with one line:
// "## DCC OK_OT <the box's answer>\r\n" or "## DCC ERROR <the reason>\r\n".
//
//   data server worker ── Relay(viewer, line, reply) ──► that viewer's queue (at most
//                                                        kRelayWaitingLimit waiting)
//                                                               │ viewers whose turn it is
//   relay threads (kRelayThreads) ◄─────────────────────────────┘
//     each: one viewer's next command: connect, "GC <command>", acknowledgement, reply(...)
//
// A viewer's commands go to the box one at a time, in the order they arrived, so it gets its
// answers in that order; different viewers' commands run side by side on the relay threads, so
// a viewer whose commands wait on a silent box holds up nobody else (while there are threads
// free). Viewers take turns: after each command a viewer goes to the back of the line. The relay
// never holds a data server worker, and a viewer that leaves has its waiting commands dropped.
//
// Threads: Relay and ViewerLeft from any thread (the data server's workers); the relay threads
// run every box exchange and call the reply functions, never under `lock`. `lock` guards
// `viewers`, `turns`, `exchanges` and `stopping`.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hub/core/hub_config.h"
#include "server/command_relay.h"

namespace tessamer {

class CVellumetricUtility;

// "GC " + command + CR LF must fit the 512-byte request buffer (511 characters and its zero).
inline constexpr size_t kRelayCommandLimit = 506;
inline constexpr size_t kRelayWaitingLimit = 4;  // per viewer, besides the one being relayed
inline constexpr int kRelayThreads = 4;
inline constexpr std::chrono::milliseconds kRelayOpenTimeout{5000};

class CViewerCommandRelay : public ICommandRelay {
 public:
  // Commands go to `defaultBoxAddress` (dotted IPv4) on `boxUtilityPort`; `openTimeout` bounds
  // the connect and the banner wait of each command's connection. Starts `threadCount` relay
  // threads.
  explicit CViewerCommandRelay(std::string defaultBoxAddress = kDefaultBoxAddress,
                               uint16_t boxUtilityPort = kBoxUtilityPort,
                               std::chrono::milliseconds openTimeout = kRelayOpenTimeout,
                               int threadCount = kRelayThreads);
  // Interrupts the exchanges in progress, drops the commands still waiting and joins the
  // threads. No reply is given after that.
  ~CViewerCommandRelay() override;
  CViewerCommandRelay(const CViewerCommandRelay&) = delete;
  CViewerCommandRelay& operator=(const CViewerCommandRelay&) = delete;

  // Queues the command behind the viewer's earlier ones and returns at once. When
  // kRelayWaitingLimit of its commands already wait, the viewer is answered at once with
  // "## DCC ERROR Too many box commands are waiting" and nothing is sent to a box.
  void Relay(ViewerId viewer, std::string command,
             std::function<void(std::string)> reply) override;
  // Drops the viewer's waiting commands; an exchange in progress for it runs to its end.
  void ViewerLeft(ViewerId viewer) override;

  // The box command of a received "##" line: from its fourth character, cut to what a request
  // can carry.
  static std::string CommandOf(const std::string& line);

 private:
  struct Pending {
    std::string line;
    std::function<void(std::string)> reply;
  };
  // A viewer with commands waiting or one being relayed; gone once it has neither.
  struct Viewer {
    std::deque<Pending> waiting;
    bool relaying = false;
  };

  void Run(size_t slot);
  // Waits for a viewer's turn and takes its next command; false when stopping.
  bool Take(ViewerId& viewer, Pending& command);
  void Done(ViewerId viewer);            // the viewer's exchange ended: its next turn, if any
  void Exchange(size_t slot, const Pending& command);  // one box exchange and its reply

  const std::string defaultBoxAddress;
  const uint16_t boxUtilityPort;
  const std::chrono::milliseconds openTimeout;

  std::mutex lock;
  std::condition_variable wake;
  std::unordered_map<ViewerId, Viewer> viewers;
  std::deque<ViewerId> turns;  // viewers with a command waiting and none being relayed
  std::vector<CVellumetricUtility*> exchanges;  // per relay thread: its connection, or null
  bool stopping = false;
  std::vector<std::thread> threads;  // last: started once everything above is ready
};

}  // namespace tessamer
