#pragma once
// Tries the boxes a run waits for: a run that serves the boxes that answered at its start (see
// HubConfig::serveAvailable) learns here when one of the others answers, and is then started
// again with every box. A try is a plain TCP connect to the box's data port, closed at once;
// the box's agent of the next run makes the real connection.
//
//   probe thread (own io_context):
//     every `period` ──> a connect to each waiting box at once ──┬─ one accepts: `answered`, done
//                        `connectTimeout` later: the rest given up┴─ none did: the next round
//
// Threads: construction and destruction on the owner's thread; `answered` is called once, on the
// probe's thread, and must not wait for the owner. Destruction abandons a round in progress at
// once and waits for the probe's thread.

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "hub/core/records.h"

namespace tessamer {

class CWaitingBoxProbe {
 public:
  // Begins trying `boxes` (at least one) `period` from now.
  CWaitingBoxProbe(std::vector<Box> boxes, std::chrono::milliseconds period,
                   std::chrono::milliseconds connectTimeout, std::function<void()> answered);
  ~CWaitingBoxProbe();
  CWaitingBoxProbe(const CWaitingBoxProbe&) = delete;
  CWaitingBoxProbe& operator=(const CWaitingBoxProbe&) = delete;

 private:
  struct Round;

  void WaitForRound();
  void TryAll();
  void Tried(Round& round, bool accepted);

  const std::vector<Box> boxes;
  const std::chrono::milliseconds period;
  const std::chrono::milliseconds connectTimeout;
  const std::function<void()> answered;

  asio::io_context io;
  asio::steady_timer pause{io};  // probe thread only, as everything below
  bool done = false;             // a box has answered
  std::thread thread;
};

}  // namespace tessamer
