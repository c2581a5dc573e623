#pragma once
// The program's command line: every option, parsed into one record that the window and the
// headless runner read. Plain C++: no toolkit types, so that it can be tested on its own.

#include <cstdint>
#include <string>
#include <vector>

#include "hub/core/hub_config.h"
#include "hub/core/records.h"

namespace tessamer {

// One --box option as given: a dotted IPv4 address and the port, 0 when none was given (the
// --box-port then applies).
struct BoxOption {
  uint32_t address = 0;  // network byte order, as in Box
  uint16_t port = 0;
};

struct CommandLine {
  bool headless = false;
  bool demo = false;
  bool version = false;
  bool help = false;
  std::vector<BoxOption> boxes;                  // 1 to MaxBoxes, headless only
  int channels = kDefaultChannelLimit;           // channel limit, 1 to 6
  uint16_t dataPort = kDataPort;                 // 0: any free port
  uint16_t utilityPort = kUtilityPort;           // 0: any free port
  uint16_t boxPort = kBoxDataPort;               // boxes given without a port; the window's rows
  uint16_t boxUtilityPort = kBoxUtilityPort;     // utility port of every box
  std::string defaultBox = kDefaultBoxAddress;   // box of viewers' "##" commands
  std::string logFile;                           // empty: the user's application-data folder
};

// Parses the arguments after the program name into `options`. False with a one-line `error` (no
// line end) when an option is unknown, lacks its value or has a value out of range.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& options, std::string& error);

// The --help text.
std::string UsageText();

// The box list of a headless run: the --box options in order, rows 0, 1, ..., each without a port
// given the --box-port.
std::vector<Box> BoxesOf(const CommandLine& options);

// The hub configuration the options ask for (ports, default box); time-outs keep their defaults.
HubConfig HubConfigOf(const CommandLine& options);

}  // namespace tessamer
