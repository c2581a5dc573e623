#pragma once
// The vellumetric-sim program's command line: every option, its check and the --help text.
// Parsed with CLI11, the one option library of the project; it stays inside sim_options.cpp.
// Threads: any; nothing is shared.

#include <string>
#include <vector>

#include "box_setup.h"

namespace tessamer::sim {

enum class SimCommand { Run, Help, Error };

// Parses the arguments after the program name into `options`, ready for CBoxSimulator. On Error,
// `error` holds a one-line reason that names the option at fault.
SimCommand ParseSimCommandLine(const std::vector<std::string>& args, SimulatorOptions& options, std::string& error);

// The text printed by --help.
std::string SimUsage();

}  // namespace tessamer::sim
