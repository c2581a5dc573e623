#pragma once
// The demo's boxes: simulated boxes on loopback addresses, standing in for real hardware so that
// a newcomer can watch the hub work, in the window or headless.
//
// Threads: the owner's thread only (the simulator runs its own thread).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hub/core/records.h"

namespace tessamer {

namespace sim {
class CBoxSimulator;
}

inline constexpr int kDemoBoxCount = 3;

class CDemoBoxes {
 public:
  CDemoBoxes();
  // Stops the simulated boxes.
  ~CDemoBoxes();
  CDemoBoxes(const CDemoBoxes&) = delete;
  CDemoBoxes& operator=(const CDemoBoxes&) = delete;

  // Starts `count` boxes on 127.0.0.2 upwards, each on a free port. False with `error` filled
  // when they could not be started.
  bool Start(int count, std::string& error);
  // The started boxes, in order, on rows 0, 1, ...
  std::vector<Box> Boxes() const;
  // The utility port every started box listens on.
  uint16_t UtilityPort() const;

 private:
  std::unique_ptr<sim::CBoxSimulator> simulator;
};

}  // namespace tessamer
