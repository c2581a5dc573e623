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
// The picture, everything on the simulator's one thread (an asio::io_context):
//
//   CBoxSimulator ─owns─► CSimulatedBox, one per box (127.0.0.2, 127.0.0.3, ...)
//                           │
//     data acceptor ──accept──► CBoxDataConnection ◄── opening, then one record per period
//                                (write queue, gap timer)        ▲
//     record timer ──due──────────────────────────► IBoxStreamSource
//                                                     ├ CGeneratedStreamSource  header, data lines
//                                                     └ CReplayedStreamSource   recording, in pieces
//     utility acceptor ─accept─► CBoxUtilityConnection: banner; read a line, answer, read the next
//                                  └ every request ─► the command observer, the box's record
//
//   other threads ── Drop / SetRefusing / SetSilent ──post, wait──► the simulator's thread
//                 ◄─ ReceivedCommands / Wait... / RecordsSent ── each box's mutex
//
// Connections are shared-ownership sessions: the box's list and their pending handlers keep them.
//
// Threads: CBoxSimulator is owned and driven (Start, Stop, destruction) by one thread; ReleaseReplay,
// StepReplay and SetCommandObserver may be called from any thread.

#include <asio.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box_setup.h"
#include "simulated_box.h"

namespace tessamer::sim {

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
  // Replayed boxes with `holdAfterHeader`, instead of ReleaseReplay: sends the next record of every
  // box now (for a caller that waits for each record's effect before it asks for the next one).
  void StepReplay();

  // Called on the simulator's thread for every utility request: (box index, request line).
  void SetCommandObserver(std::function<void(int, const std::string&)> observer);

 private:
  using Port = CSimulatedBox::Port;

  // Start's steps. Each returns why it failed, or nothing.
  std::string LoadStreams();
  std::string OpenPorts();
  // One attempt at opening every box's ports; `retry` when a number the first box picked is
  // taken on another box's address.
  std::string TryOpenPorts(bool& retry);
  std::string OpenPort(size_t box, Port port, bool& retry);
  void StartBoxes();

  void Observe(int box, const std::string& request);

  const bool samePorts;                      // SimulatorOptions::samePorts
  asio::io_context context;                  // declared before the boxes: their sockets go first
  std::vector<std::unique_ptr<CSimulatedBox>> boxes;
  std::thread thread;                        // runs `context` between Start and Stop
  bool running = false;                      // the owner's thread only

  std::mutex observerMutex;                  // guards `observer`
  std::function<void(int, const std::string&)> observer;
};

}  // namespace tessamer::sim
