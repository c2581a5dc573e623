#pragma once
// One simulated box: a data port and a utility port on the box's own address, the stream source
// that feeds its data connections, the clock of its records, and what a test can observe (requests
// received, connections accepted, records sent). It can be told to drop its data connections,
// refuse new ones, or go silent, so that a hub's reconnection can be exercised.
//
// Threads: the sockets, timers and source are the simulator's thread's alone (CBoxSimulator runs it).
// The public operations may be called from any thread: Drop, SetRefusing and SetSilent post their
// work to the simulator's thread and return once it has run; the observations are guarded by
// `mutex`. Address, ports, setup, header block and record clock are fixed once the simulator has
// started.

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "box_data_connection.h"
#include "box_setup.h"
#include "box_stream_source.h"
#include "box_utility_connection.h"

namespace tessamer::sim {

class CSimulatedBox {
 public:
  CSimulatedBox(const CSimulatedBox&) = delete;
  CSimulatedBox& operator=(const CSimulatedBox&) = delete;
  ~CSimulatedBox();

  const std::string& Address() const { return address; }
  uint16_t DataPort() const { return dataEndpoint.port(); }
  uint16_t UtilityPort() const { return utilityPort; }
  const BoxSetup& Setup() const { return setup; }

  // The opening every data connection gets first: the header block of a generated box, or the
  // lines before the first data line of a replayed one (read when the simulator starts).
  std::string HeaderBlock() const { return stream->Opening(); }

  // These three return once the change has taken effect on the simulator's thread.
  // Closes every open data connection; new connections are still accepted.
  void Drop();
  // Stops listening on the data port (connections are refused) or listens again on the same
  // port. Open connections are not touched.
  void SetRefusing(bool refusing);
  // Keeps the data connections open but sends nothing (true), or resumes sending (false).
  void SetSilent(bool silent);
  // Sends a line of line noise (not a header line, not a data line) before every record (true),
  // or stops (false): a box on a bad line.
  void SetNoisy(bool noisy);

  // Every request line received on the utility port, in order, without its line end.
  std::vector<std::string> ReceivedCommands() const;
  // Waits until at least `count` requests have been received, or `timeout` passes.
  bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;
  // Waits until at least `accepted` data connections have been accepted, or `timeout` passes.
  bool WaitForDataConnections(size_t accepted, std::chrono::milliseconds timeout) const;
  // Data records (generated or replayed data lines) sent on at least one connection.
  uint64_t RecordsSent() const;
  // When the simulator started. Boxes whose records are not held: record k (sequence number k) is
  // due at RecordClock() + (k + 1) * period.
  std::chrono::steady_clock::time_point RecordClock() const { return recordClock; }

 private:
  friend class CBoxSimulator;
  using Clock = std::chrono::steady_clock;
  // Called on the simulator's thread with every utility request, before the box notes it.
  using RequestObserver = std::function<void(const std::string& request)>;
  enum class Port { Data, Utility };

  // Box `index` of the simulator whose thread runs `context`, set up as `setup` says; a replayed
  // stream is paced as `pacing` says.
  CSimulatedBox(asio::io_context& context, int index, BoxSetup setup, const ReplayPacing& pacing,
                RequestObserver observer);

  // The steps of CBoxSimulator::Start, on its caller's thread before the simulator's thread runs.
  // Reads the recording to replay, if there is one. Empty, or why it could not be read.
  std::string LoadStream();
  // Listens on `port` with the number `number` (0: any free one).
  asio::error_code OpenPort(Port port, uint16_t number);
  uint16_t PortNumber(Port port) const { return port == Port::Data ? DataPort() : UtilityPort(); }
  void ClosePorts();
  // Accepts on both ports and, unless the records are held, starts them.
  void Start(Clock::time_point now);

  // On the simulator's thread (or before it runs).
  // Starts held records now.
  void Release(Clock::time_point now);
  // Sends the next record of held records now.
  void Step();
  // Closes ports, connections and the record clock for good.
  void Close();

  void AcceptData();
  void AcceptUtility();
  void StartRecords(Clock::time_point now);
  void ScheduleRecord();
  void OnRecordDue();
  void ForgetClosedConnections();
  void OnRequest(const std::string& request);
  void NoteAccepted();
  void NoteRecord();

  const int index;
  const BoxSetup setup;
  const std::string address;
  const std::string serialNumber;
  const ReplayPacing pacing;
  const RequestObserver observer;

  // The simulator's thread's alone once it runs.
  asio::io_context& context;
  asio::ip::tcp::acceptor dataAcceptor;
  asio::ip::tcp::acceptor utilityAcceptor;
  asio::ip::tcp::endpoint dataEndpoint;  // bound address and port, kept for listening again
  uint16_t utilityPort = 0;
  std::unique_ptr<IBoxStreamSource> stream;
  asio::steady_timer recordTimer;
  Clock::time_point recordClock;         // set before the simulator's thread starts
  Clock::time_point recordsStart;        // record k is due at recordsStart + (k + 1) * period
  uint64_t recordsDue = 0;               // records whose time has come
  bool recordsStarted = false;
  bool silent = false;
  bool noisy = false;
  bool refusing = false;
  bool stopped = false;
  std::vector<std::shared_ptr<CBoxDataConnection>> dataConnections;
  std::vector<std::shared_ptr<CBoxUtilityConnection>> utilityConnections;

  mutable std::mutex mutex;  // guards the observations below
  mutable std::condition_variable changed;
  std::vector<std::string> commands;
  size_t accepted = 0;
  uint64_t records = 0;
};

}  // namespace tessamer::sim
