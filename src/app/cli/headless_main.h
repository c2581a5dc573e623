#pragma once
// The program without a window, from its parsed command line to its exit status: opens the
// diagnostic log, starts simulated boxes for --demo, wires the signals to a CHeadlessRunner
// (SIGINT and SIGTERM stop, SIGHUP re-reads the settings; Ctrl-C and Ctrl-Break on Windows) and
// serves the status endpoint when asked for.
//
//   main ── RunHeadless ──► CHeadlessRunner::Run (this thread, until the end)
//   signal thread: its own io_context ── SIGINT, SIGTERM ──► RequestStop
//                                     └─ SIGHUP ──────────► RequestReload (re-parses `args`)
//
// Threads: RunHeadless on the main thread; it starts and joins the signal thread itself.

#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/headless_runner.h"
#include "app/status/status_server.h"

namespace tessamer {

// `makeHub`, or with a status endpoint (StatusEndpointOf) a factory of hubs whose health it
// serves (CHubWithStatus).
CHeadlessRunner::HubFactory WithStatusEndpoint(CHeadlessRunner::HubFactory makeHub,
                                               const std::optional<StatusEndpoint>& status);

// The whole headless program with the hub `makeHub` makes. `options` are `args` parsed; `args`
// are parsed again at every SIGHUP. Returns the exit status.
int RunHeadless(const std::vector<std::string>& args, const CommandLine& options,
                const CHeadlessRunner::HubFactory& makeHub);

}  // namespace tessamer
