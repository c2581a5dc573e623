#pragma once
// The lines the program without a window prints on standard output, one per event. They are an
// interface: scripts read them, so every word and field stays as it is; a line may gain further
// "key=value" fields at its end.
//
//   listening data=<port> utility=<port> [status=<port>]
//   activity row=<row> status=<Connected|ConnectionLost|ConnectFailed> [box=<address:port>]
//            [reason="<the box's last error>"]         (failures only)
//   activity row=<row> status=ConnectFailed host=<name> (a box name that did not resolve)
//   silent row=<row> [box=<address:port>] seconds=<n>, speaking row=<row>
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
// The line of a box whose name did not resolve when its run started.
std::string UnresolvedBoxLine(size_t row, const std::string& host);
// Keep-trying's next start, `wait` from now.
std::string RetryLine(std::chrono::milliseconds wait, const char* reason);

std::string ReloadFailedLine(const std::string& reason);
std::string ReloadKeptLine(const std::vector<std::string>& kept);
std::string ReloadUnchangedLine();
std::string ReloadRestartLine(size_t boxes, int channels);

}  // namespace tessamer
