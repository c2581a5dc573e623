#pragma once
// The program without a window: one run with the command line's boxes, served until SIGINT or
// SIGTERM, with one printed line per event instead of the window's lamps and status bar.
//
//   hub threads ──Post──► notice queue ──► Run (main thread) ──► "activity ...", "stopped", ...
//   signal thread ──RequestStop──────────┘
//
// Threads: Post and RequestStop are called from any thread and never block on the output; Run
// is called once, on the main thread, which alone writes the output and drives the hub.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/cli/box_list.h"
#include "app/cli/command_line.h"
#include "hub/bridge/hub_control.h"
#include "hub/core/hub_config.h"
#include "hub/core/notices.h"

namespace tessamer {

// Exit statuses of a headless run.
inline constexpr int kExitStopped = 0;          // ended by SIGINT or SIGTERM
inline constexpr int kExitBadOptions = 2;
inline constexpr int kExitRunEnded = 3;         // a box could not be reached at the start
inline constexpr int kExitNoDataServer = 4;

// What a run starts with.
struct RunSettings {
  std::vector<BoxOption> boxes;              // in agent order; names are looked up at each start
  uint16_t boxPort = kBoxDataPort;           // boxes given without a port
  int channelLimit = kDefaultChannelLimit;
  bool operator==(const RunSettings&) const = default;
};

class CHeadlessRunner : public INoticeSink {
 public:
  // Makes the hub; the sink must outlive it. The runner destroys the hub before Run returns.
  using HubFactory = std::function<std::unique_ptr<IHubControl>(INoticeSink* sink, const HubConfig& config)>;
  // Writes one output line (without its line end).
  using LineWriter = std::function<void(const std::string& line)>;

  // `settings` are the run's; `writer` defaults to standard output, flushed per line.
  CHeadlessRunner(RunSettings settings, HubConfig config, HubFactory makeHub, LineWriter writer = {});
  CHeadlessRunner(const CHeadlessRunner&) = delete;
  CHeadlessRunner& operator=(const CHeadlessRunner&) = delete;

  // Starts the servers and the run, prints the notices, and returns the exit status once a stop
  // was requested (0), the run ended by itself (3: a box could not be reached, or its name did
  // not resolve) or the data server did not start (4).
  int Run();
  // Asks Run to stop the run as the window's close would; safe from any thread, at any time.
  void RequestStop();

  void Post(Notice notice) override;

  // The line printed for a notice; empty for notices that are not printed.
  static std::string LineOf(const Notice& notice);

 private:
  // Waits for the next notice or a stop request. Returns false when a stop was requested and no
  // notice is waiting.
  bool NextNotice(Notice& notice);
  // Starts a run with `settings`. False when a box name did not resolve: the run has then ended
  // as one whose box could not be reached, and the lines of such an end are printed.
  bool StartRun(IHubControl& hub);
  // Prints what the hub has posted so far, without waiting; true when "stopped" was among it.
  bool PrintPending();
  void Print(const std::string& line);

  const RunSettings settings;
  const HubConfig config;
  HubFactory makeHub;
  LineWriter writer;

  std::mutex mutex;  // guards the two members below
  std::condition_variable wake;
  std::deque<Notice> notices;  // printable notices only
  bool stopRequested = false;
};

// The whole headless program: opens the diagnostic log, starts simulated boxes for --demo, runs
// CHeadlessRunner with the hub `makeHub` makes and ends on SIGINT or SIGTERM. Returns the exit
// status.
int RunHeadless(const CommandLine& options, const CHeadlessRunner::HubFactory& makeHub);

}  // namespace tessamer
