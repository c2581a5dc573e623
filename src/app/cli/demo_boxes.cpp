#include "app/cli/demo_boxes.h"

#include "box_simulator.h"
#include "hub/core/hub_config.h"
#include "support/ipv4_text.h"

namespace tessamer {

CDemoBoxes::CDemoBoxes() = default;

CDemoBoxes::~CDemoBoxes() {
  if (simulator) simulator->Stop();
}

bool CDemoBoxes::Start(int count, std::string& error) {
  auto started = std::make_unique<sim::CBoxSimulator>(sim::DefaultOptions(count));
  if (!started->Start(&error)) return false;
  simulator = std::move(started);
  return true;
}

std::vector<Box> CDemoBoxes::Boxes() const {
  std::vector<Box> boxes;
  if (!simulator) return boxes;
  for (size_t i = 0; i < simulator->BoxCount(); ++i) {
    const sim::CSimulatedBox& box = simulator->Box(i);
    const uint32_t address = ParseIpv4(box.Address()).value_or(0);  // the simulator's own dotted text
    boxes.push_back(Box{BoxAddressFromHostOrder(address), box.DataPort(), static_cast<int32_t>(i)});
  }
  return boxes;
}

uint16_t CDemoBoxes::UtilityPort() const {
  if (!simulator || simulator->BoxCount() == 0) return kBoxUtilityPort;
  return simulator->Box(0).UtilityPort();
}

}  // namespace tessamer
