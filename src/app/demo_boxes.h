#pragma once
// The demo's boxes: simulated boxes on loopback addresses, standing in for real hardware so that
// a newcomer can watch the window work.
//
// Threads: window thread only (the simulator runs its own thread).

#include <memory>
#include <string>
#include <vector>

#include "app/tessamer_dlg.h"

namespace tessamer {

inline constexpr int kDemoBoxCount = 3;

class CDemoBoxes {
 public:
  CDemoBoxes();
  // Stops the simulated boxes.
  ~CDemoBoxes();
  CDemoBoxes(const CDemoBoxes&) = delete;
  CDemoBoxes& operator=(const CDemoBoxes&) = delete;

  // Starts `count` boxes on 127.0.0.2 upwards, each on a free port. False with `error` filled
  // when they could not be started (or this build has no simulator).
  bool Start(int count, std::string& error);
  // The started boxes, in order, as rows of the window.
  std::vector<PresetBox> Boxes() const;
  // The utility port every started box listens on.
  uint16_t UtilityPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace tessamer
