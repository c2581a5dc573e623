#pragma once
// The lines the program without a window prints on standard output, one per event. They are an
// interface: scripts read them, so every word and field stays as it is; a line may gain further
// "key=value" fields at its end.
//
//   listening data=<port> utility=<port> [status=<port>]
//   activity row=<row> status=<Connected|ConnectionLost|ConnectFailed> [box=<address:port>]
//            [reason="<the box's last error>"]         (failures only)
//            [attempts=<n>]   (a box still lost: at most once a minute, see CActivityThrottle)
//   activity row=<row> status=ConnectFailed host=<name> reason="<the resolver's reason>"
//            (a box name that did not resolve)
//   silent row=<row> [box=<address:port>] seconds=<n>, speaking row=<row>
//   run partial waiting=<row,row>   (the run serves the boxes that answered, waits for these)
//   headers-complete, stopped
//   client connected socket=<n> [peer=<address:port>], client disconnected socket=<n>
//   run retry in=<seconds> reason=<unreachable|ended|unresolved>
//   reload unchanged, reload failed reason=<text>, reload kept=<a,b> reason=restart-needed,
//   reload restart boxes=<n> channels=<n>
//
// Data-flow notices (box data, published, viewers' offsets) print nothing.
//
// Threads: plain functions of their arguments; any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "hub/core/notices.h"

namespace tessamer {

inline constexpr const char* kStoppedLine = "stopped";

// True for the notices that print a line.
bool IsPrinted(const Notice& notice);
// True for the notices whose line names a box from the hub's health.
bool NamesABox(const Notice& notice);

// The line printed for `notice`; empty for notices that are not printed. A box's lines name the
// box and, for a failure, its last error, as `health` has them.
std::string NoticeLine(const Notice& notice, const HubHealth& health = {});

// The first line: the ports the servers listen on; a zero `status` port is left out.
std::string ListeningLine(uint16_t data, uint16_t utility, uint16_t status);
// The line of a box whose name did not resolve when its run started, with the resolver's reason.
std::string UnresolvedBoxLine(size_t row, const std::string& host, const std::string& why);
// Keep-trying's next start, `wait` from now.
std::string RetryLine(std::chrono::milliseconds wait, const char* reason);

std::string ReloadFailedLine(const std::string& reason);
std::string ReloadKeptLine(const std::vector<std::string>& kept);
std::string ReloadUnchangedLine();
std::string ReloadRestartLine(size_t boxes, int channels);

// A lost box's repeated report is printed at most this often.
inline constexpr std::chrono::seconds kLostLineInterval{60};

// Keeps a run's activity lines to the changes: a row's report prints when its status differs
// from the last one printed. A lost box's agent reports it lost again after each failed attempt
// to reconnect; while the row stays lost, such a report prints at most once per `interval`, with
// the attempts since it was lost. A new run starts afresh (Reset).
//
// Threads: one (the runner's main thread).
class CActivityThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CActivityThrottle(std::chrono::milliseconds interval = kLostLineInterval)
      : interval(interval) {}

  // The line of `activity` received at `now` (NoticeLine's, with attempts=<n> on a repeated
  // lost report); empty when it is not printed.
  std::string Line(const ActivityNotice& activity, const HubHealth& health, Clock::time_point now);
  void Reset() { rows.clear(); }

 private:
  struct Row {
    ActivityStatus status = Connected;  // as last printed
    int64_t attempts = 0;               // repeated lost reports since the row was lost
    Clock::time_point printedAt;
  };

  std::chrono::milliseconds interval;
  std::map<int32_t, Row> rows;
};

}  // namespace tessamer
