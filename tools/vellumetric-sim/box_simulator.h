#pragma once
// A simulator of Vellumetric logger boxes for tests, benchmarks and the demo: 1 to 16 boxes, each
// listening on its own loopback address with a data port and a utility port.
//
//   data port     every new connection gets the box's header block, then one data line per
//                 record period (or, in replay mode, a recorded stream delivered in pieces);
//   utility port  a banner line, "help" answered with a firmware line, every "G" request
//                 acknowledged with "Extended Command done <bytes>" and "Done"; each request is
//                 recorded so that a test can check which box got what.
//
// Every box can be told to drop its data connections, refuse new ones, or go silent, so that the
// hub's reconnection can be exercised.
//
// Threads: all network work runs on one thread owned by CBoxSimulator (an asio::io_context).
// The public operations may be called from any thread; they post their work to that thread, and
// the observations (commands, counts) are guarded by each box's own mutex.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hub/core/records.h"

namespace tessamer::sim {

inline constexpr int kMaxSimulatedBoxes = MaxBoxes;  // as many as one hub reads
inline constexpr const char* kFirstBoxAddress = "127.0.0.2";  // box i listens on 127.0.0.(2+i)
inline constexpr std::chrono::milliseconds kDefaultRecordPeriod{1000};
inline constexpr const char* kUtilityBanner = "Vellumetric-VMC: connected\r\n";
inline constexpr const char* kAcknowledgement = "Extended Command done ";
// A data connection whose reader falls this far behind is closed, as a box with a full send
// buffer would give up on it.
inline constexpr size_t kMaxPendingBytes = 1 << 20;

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
  size_t maxPiece = 24;
  std::chrono::milliseconds pieceGap{2};
  uint32_t seed = 1;           // the cuts are repeatable for a given seed
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
  std::string replayFile;       // not empty: replay this recorded stream instead of generating
  std::string replayText;       // the same, given as text (used when replayFile is empty)
};

struct SimulatorOptions {
  std::vector<BoxSetup> boxes;   // 1 to kMaxSimulatedBoxes
  // Every box listens on the same data port number and the same utility port number (as real
  // boxes do, each on its own address). A port of 0 is picked by the first box.
  bool samePorts = true;
  ReplayPacing pacing;
};

// The default channel set of a generated box.
std::vector<ChannelSetup> DefaultChannels();

// One simulated box. Owned by CBoxSimulator; references stay valid while the simulator lives.
class CSimulatedBox {
 public:
  CSimulatedBox(const CSimulatedBox&) = delete;
  CSimulatedBox& operator=(const CSimulatedBox&) = delete;
  ~CSimulatedBox();

  const std::string& Address() const { return address; }
  uint16_t DataPort() const;
  uint16_t UtilityPort() const;
  const BoxSetup& Setup() const { return setup; }

  // The header block every data connection gets first (generated boxes; replayed boxes send the
  // opening of their stream).
  std::string HeaderBlock() const;

  // These three return once the change has taken effect on the simulator's thread.
  // Closes every open data connection; new connections are still accepted.
  void Drop();
  // Stops listening on the data port (connections are refused) or listens again on the same
  // port. Open connections are not touched.
  void SetRefusing(bool refusing);
  // Keeps the data connections open but sends nothing (true), or resumes sending (false).
  void SetSilent(bool silent);

  // Every request line received on the utility port, in order, without its line end.
  std::vector<std::string> ReceivedCommands() const;
  // Waits until at least `count` requests have been received, or `timeout` passes.
  bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;
  // Waits until at least `accepted` data connections have been accepted, or `timeout` passes.
  bool WaitForDataConnections(size_t accepted, std::chrono::milliseconds timeout) const;
  // Data records (generated or replayed data lines) sent on at least one connection.
  uint64_t RecordsSent() const;
  // Generated boxes: record k (sequence number k) is due at RecordClock() + (k + 1) * period.
  std::chrono::steady_clock::time_point RecordClock() const;

 private:
  friend class CBoxSimulator;
  struct Impl;
  CSimulatedBox(int index, BoxSetup setup, std::string address, std::unique_ptr<Impl> impl);

  void NoteCommand(std::string command);
  void NoteAccepted();
  void NoteRecord();

  const int index;
  const BoxSetup setup;
  const std::string address;
  std::unique_ptr<Impl> impl;  // sockets and timers, touched on the simulator's thread only

  mutable std::mutex mutex;  // guards the observations below
  mutable std::condition_variable changed;
  std::vector<std::string> commands;
  size_t accepted = 0;
  uint64_t records = 0;
};

class CBoxSimulator {
 public:
  explicit CBoxSimulator(SimulatorOptions options);
  // Stops every box and joins the simulator's thread.
  ~CBoxSimulator();
  CBoxSimulator(const CBoxSimulator&) = delete;
  CBoxSimulator& operator=(const CBoxSimulator&) = delete;

  // Opens every box's ports and starts the simulator's thread. False (with `error` filled) when a
  // port could not be opened or a replay file could not be read; nothing then runs.
  bool Start(std::string* error = nullptr);
  // Closes every port and connection; idempotent.
  void Stop();

  size_t BoxCount() const { return boxes.size(); }
  CSimulatedBox& Box(size_t index) { return *boxes.at(index); }
  const CSimulatedBox& Box(size_t index) const { return *boxes.at(index); }

  // Replayed boxes with `holdAfterHeader`: starts the data lines of every box now, on a common
  // slot clock, so that record k of every box goes out in the same slot.
  void ReleaseReplay();

  // Called on the simulator's thread for every utility request: (box index, request line).
  void SetCommandObserver(std::function<void(int, const std::string&)> observer);

 private:
  friend class CSimulatedBox;
  struct Engine;
  SimulatorOptions options;
  std::vector<std::unique_ptr<CSimulatedBox>> boxes;
  std::unique_ptr<Engine> engine;
};

// Builds `count` generated boxes with the default settings on 127.0.0.2 upwards.
SimulatorOptions DefaultOptions(int count);

}  // namespace tessamer::sim
