#pragma once
// The program without a window: a run with the configured boxes, served until SIGINT or SIGTERM,
// with one printed line per event (headless_lines.h) instead of the window's lamps and status
// bar. With keep-trying a run that ends by itself is started again while the servers keep
// listening; SIGHUP re-reads the settings and starts a new run when its boxes or channel limit
// changed.
//
//   hub threads ──Post──► notice queue ──► Run (main thread) ──► "activity ...", "stopped", ...
//   signal thread ──RequestStop, RequestReload──┘     │  └─► service manager (CServiceNotifier)
//                                                      ├─ the phase's deadline: the next start
//                                                      └─ heartbeat deadline: the watchdog's beat
//
// The run is in one phase at a time (Phase), each a record with what it needs:
//
//   Running ── its "stopped" came unasked ──► RetryWait ── its deadline ──► a new start
//   a new start ──► Running, or RetryWait at once when a box name does not resolve
//   a reload with new settings, in Running or RetryWait: the run ends, a new start
//   RetryWait without keep-trying is Ended instead: Run returns exit status 3
//   a stop request, in any phase: the run is stopped, the hub destroyed, exit status 0
//
// A new phase is one more record in Phase: its data, its deadline (PhaseDeadline) and what the
// events do in it.
//
// Threads: Post, RequestStop and RequestReload are called from any thread and never block on
// the output; `mutex` guards the queue and the two requests. Run is called once, on the main
// thread, which alone writes the output, drives the hub and owns every other member.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "app/cli/box_list.h"
#include "app/cli/service_notifier.h"
#include "hub/bridge/hub_control.h"
#include "hub/core/hub_config.h"
#include "hub/core/notices.h"

namespace tessamer {

// Exit statuses of a headless run.
inline constexpr int kExitStopped = 0;          // ended by SIGINT or SIGTERM
inline constexpr int kExitBadOptions = 2;
inline constexpr int kExitRunEnded = 3;         // a box could not be reached at the start
inline constexpr int kExitNoDataServer = 4;      // nor the status endpoint

// Keep-trying doubles its wait after each failed start up to this many times the first wait.
inline constexpr int kRetryWaitGrowthLimit = 10;

// What a run starts with: what a re-read of the settings can change without a restart.
struct RunSettings {
  std::vector<BoxOption> boxes;              // in agent order; names are looked up at each start
  uint16_t boxPort = kBoxDataPort;           // boxes given without a port
  int channelLimit = kDefaultChannelLimit;
  bool operator==(const RunSettings&) const = default;
};

// What a re-read of the settings found.
struct Reread {
  bool ok = false;
  std::string error;              // why the settings could not be read, one line
  RunSettings run;                // the run's settings as read
  std::vector<std::string> kept;  // settings that changed but need a restart of the program
};

// Keep-trying's waits: the first, doubling after each failed start up to kRetryWaitGrowthLimit
// times the first, and the first again once a run got every box. A zero first wait: none.
class CRetryWaits {
 public:
  explicit CRetryWaits(std::chrono::milliseconds first = {}) : first(first), next(first) {}
  bool KeepTrying() const { return first.count() > 0; }
  // The wait before the next start; the one after it doubles.
  std::chrono::milliseconds Take();
  void Reset() { next = first; }

 private:
  std::chrono::milliseconds first;
  std::chrono::milliseconds next;
};

// Writes `line` and its line end to standard output in one write (so that lines from other
// threads never land inside it), then flushes.
void WriteLineToStandardOutput(const std::string& line);

class CHeadlessRunner : public INoticeSink {
 public:
  // Makes the hub; the sink must outlive it. The runner destroys the hub before Run returns.
  using HubFactory = std::function<std::unique_ptr<IHubControl>(INoticeSink* sink, const HubConfig& config)>;
  // Writes one output line (without its line end).
  using LineWriter = std::function<void(const std::string& line)>;
  // Reads the settings again; called on the main thread.
  using Rereader = std::function<Reread()>;

  // `settings` are the run's; `writer` defaults to standard output, flushed per line.
  CHeadlessRunner(RunSettings settings, HubConfig config, HubFactory makeHub, LineWriter writer = {});
  CHeadlessRunner(const CHeadlessRunner&) = delete;
  CHeadlessRunner& operator=(const CHeadlessRunner&) = delete;

  // Call before Run. With a nonzero `firstWait`, a run that ends without a stop request is
  // started again after `firstWait`, the wait growing as CRetryWaits says.
  void KeepTrying(std::chrono::milliseconds firstWait);
  // Call before Run: where RequestReload takes the new settings from.
  void SetRereader(Rereader reread);
  // Call before Run: the service manager is told of the servers' start, the boxes and viewers,
  // the end, and gets the watchdog's heartbeat. `notifier` must outlive Run.
  void SetNotifier(CServiceNotifier* notifier);

  // Starts the servers and the run, prints the notices, and returns the exit status once a stop
  // was requested (0), a run ended by itself without keep-trying (3: a box could not be
  // reached, or its name did not resolve) or the data server or the status endpoint did not
  // start (4).
  int Run();
  // Asks Run to stop the run as the window's close would; safe from any thread, at any time.
  void RequestStop();
  // Asks Run to re-read the settings (SIGHUP); safe from any thread, at any time.
  void RequestReload();

  void Post(Notice notice) override;

 private:
  // The run phases. A run has been started and its end not yet seen:
  struct Running {
    size_t boxes = 0;
    std::set<int32_t> connectedRows;  // rows that reported Connected
    bool boxFailed = false;           // a row reported ConnectFailed
  };
  // The last run ended by itself (or could not start); the next one starts at `at`:
  struct RetryWait {
    std::chrono::steady_clock::time_point at;
  };
  // No run, and none follows: before the first start, and once a run ended by itself without
  // keep-trying (Run then returns kExitRunEnded):
  struct Ended {};
  using Phase = std::variant<Ended, Running, RetryWait>;

  enum class Event { Notice, Stop, Reload, PhaseDeadline, Heartbeat };

  // Waits for the next notice, request, the phase's or the heartbeat's deadline. Notices come
  // first; a stop request is taken once none is waiting.
  Event NextEvent(Notice& notice);
  std::optional<std::chrono::steady_clock::time_point> PhaseDeadline() const;
  void OnNotice(IHubControl& hub, const Notice& notice);
  // Tells the service manager that the servers listen, and starts the heartbeat.
  void NotifyReady(IHubControl& hub);
  void Heartbeat(IHubControl& hub);
  void NotifyStopping();
  // Starts a run with `settings`: Running, or when a box name did not resolve, the lines of a
  // run whose box could not be reached and the phase after such a run.
  void StartRun(IHubControl& hub);
  // Ends the active run, if any, and prints what the hub posted up to its end.
  void EndRun(IHubControl& hub);
  // After a run ended by itself: RetryWait, saying so, or Ended without keep-trying.
  void RetryLater(const char* reason);
  // Applies re-read settings.
  void Reload(IHubControl& hub);
  // The one way out once the servers listen: stops the run when `status` says a stop was
  // requested, destroys the hub, prints its last notices and returns `status`.
  int TearDown(std::unique_ptr<IHubControl> hub, int status);
  // Follows a printed notice: which rows of the run connected, whether one failed; and tells
  // the service manager.
  void Follow(const Notice& notice);
  // Prints what the hub has posted so far, without waiting; true when "stopped" was among it.
  bool PrintPending();
  // The line of `notice`, with the hub's health for the notices about a box.
  std::string Describe(const Notice& notice) const;
  void Print(const std::string& line);

  RunSettings settings;
  const HubConfig config;
  HubFactory makeHub;
  LineWriter writer;
  Rereader reread;
  CServiceNotifier* notifier = nullptr;
  IHubControl* liveHub = nullptr;  // main thread only: the hub while it exists

  // Main thread only.
  Phase phase;
  CRetryWaits retryWaits;
  std::optional<std::chrono::steady_clock::time_point> heartbeatAt;

  std::mutex mutex;  // guards the three members below
  std::condition_variable wake;
  std::deque<Notice> notices;  // printable notices only
  bool stopRequested = false;
  bool reloadRequested = false;
};

}  // namespace tessamer
