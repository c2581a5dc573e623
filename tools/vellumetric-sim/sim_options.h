#pragma once
// The vellumetric-sim program's command line.

#include <string>
#include <vector>

#include "box_simulator.h"

namespace tessamer::sim {

enum class SimCommand { Run, Help, Error };

struct SimProgramOptions {
  SimulatorOptions simulator;  // the boxes, ready for CBoxSimulator
};

// Parses the arguments after the program name. On Error, `error` holds a one-line reason.
SimCommand ParseSimCommandLine(const std::vector<std::string>& args, SimProgramOptions& options,
                               std::string& error);

// The text printed by --help.
const char* SimUsage();

}  // namespace tessamer::sim
