#include "box_setup.h"

#include <algorithm>

namespace tessamer::sim {

std::vector<ChannelSetup> DefaultChannels() {
  return {{"Pressure", "psi", 1500.0, 400.0, 5.0},
          {"Rate", "bpm", 4.2, 1.5, 0.05},
          {"Weight", "lbs", 18000.0, 2500.0, 40.0},
          {"Density", "ppg", 12.5, 0.8, 0.01}};
}

SimulatorOptions DefaultOptions(int count) {
  SimulatorOptions options;
  options.boxes.resize(static_cast<size_t>(std::clamp(count, 1, kMaxSimulatedBoxes)));
  return options;
}

}  // namespace tessamer::sim
