#pragma once
// What a simulated box is told to be: its addresses and ports, the job its header describes, its
// channels and record period, or a recorded stream to replay instead; and the options of a whole
// simulator. Plain records, copied by value.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "hub/core/records.h"

namespace tessamer::sim {

inline constexpr int kMaxSimulatedBoxes = MaxBoxes;  // as many as one hub reads
inline constexpr uint32_t kFirstBoxAddress = 0x7f000002;  // 127.0.0.2; box i listens on 127.0.0.(2+i)
inline constexpr std::chrono::milliseconds kDefaultRecordPeriod{1000};

// One generated channel: a slow wave around `base` with a little noise.
struct ChannelSetup {
  std::string name;
  std::string unit;
  double base = 0.0;
  double swing = 0.0;  // amplitude of the wave
  double noise = 0.0;  // amplitude of the noise
};

// How a recorded stream is delivered. The stream's opening header lines go out when a connection
// is made; after that, every `slot` the lines up to and including the next data line go out,
// each slot's bytes cut into pieces of 1 to `maxPiece` bytes sent `pieceGap` apart (so lines
// arrive split at arbitrary points, mid-line included).
struct ReplayPacing {
  std::chrono::milliseconds slot{200};
  size_t maxPiece = 24;          // 0: every slot goes out whole
  std::chrono::milliseconds pieceGap{2};
  uint32_t seed = 1;             // the cuts are repeatable for a given seed
  bool holdAfterHeader = false;  // data lines wait for CBoxSimulator::ReleaseReplay
};

struct BoxSetup {
  std::string address;          // empty: 127.0.0.(2 + index)
  uint16_t dataPort = 0;        // 0: any free port (see SimulatorOptions::samePorts)
  uint16_t utilityPort = 0;     // 0: any free port
  std::string serialNumber;     // empty: "VM-<20417 + index>"
  std::string firmware = "8.7c";
  std::string fpga = "3.12";
  std::string jobType = "Cementing";
  bool secondary = false;       // the logger-family line says "Secondary" instead of "Primary"
  std::string dialVariable = "Weight";
  double dialMin = 0.0;
  double dialMax = 50000.0;
  std::vector<ChannelSetup> channels;  // empty: Pressure, Rate, Weight, Density
  bool diagnostics = true;      // a "DiagInfo" line in the header block
  bool banner = true;           // the utility port greets with kUtilityBanner
  std::chrono::milliseconds recordPeriod = kDefaultRecordPeriod;
  int sequenceChannel = -1;     // this channel carries the record's sequence number (0, 1, ...)
  uint64_t sequenceStart = 0;   // the first record's sequence number
  std::string replayFile;       // not empty: replay this recorded stream instead of generating
  std::string replayText;       // the same, given as text (used when replayFile is empty)
};

struct SimulatorOptions {
  std::vector<BoxSetup> boxes;  // 1 to kMaxSimulatedBoxes
  // Every box listens on the same data port number and the same utility port number (as real
  // boxes do, each on its own address). A port of 0 is picked by the first box.
  bool samePorts = true;
  ReplayPacing pacing;
};

// The default channel set of a generated box.
std::vector<ChannelSetup> DefaultChannels();

// Builds `count` generated boxes (at least 1, at most kMaxSimulatedBoxes) with the default setup
// on 127.0.0.2 upwards.
SimulatorOptions DefaultOptions(int count);

}  // namespace tessamer::sim
