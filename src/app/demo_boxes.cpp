#include "app/demo_boxes.h"

#include "hub/records.h"

#ifdef TESSAMER_HAVE_SIMULATOR
#include <asio/ip/address_v4.hpp>

#include "box_simulator.h"
#endif

namespace tessamer {

#ifdef TESSAMER_HAVE_SIMULATOR

struct CDemoBoxes::Impl {
  std::unique_ptr<sim::CBoxSimulator> simulator;
};

CDemoBoxes::CDemoBoxes() : impl(std::make_unique<Impl>()) {}

CDemoBoxes::~CDemoBoxes() {
  if (impl->simulator) impl->simulator->Stop();
}

bool CDemoBoxes::Start(int count, std::string& error) {
  auto simulator = std::make_unique<sim::CBoxSimulator>(sim::DefaultOptions(count));
  if (!simulator->Start(&error)) return false;
  impl->simulator = std::move(simulator);
  return true;
}

std::vector<PresetBox> CDemoBoxes::Boxes() const {
  std::vector<PresetBox> boxes;
  if (!impl->simulator) return boxes;
  for (size_t i = 0; i < impl->simulator->BoxCount(); ++i) {
    const sim::CSimulatedBox& box = impl->simulator->Box(i);
    asio::error_code ignored;
    const auto address = asio::ip::make_address_v4(box.Address(), ignored);
    boxes.push_back(PresetBox{address.to_uint(), box.DataPort()});
  }
  return boxes;
}

uint16_t CDemoBoxes::UtilityPort() const {
  if (!impl->simulator || impl->simulator->BoxCount() == 0) return kBoxUtilityPort;
  return impl->simulator->Box(0).UtilityPort();
}

#else

struct CDemoBoxes::Impl {};

CDemoBoxes::CDemoBoxes() : impl(std::make_unique<Impl>()) {}
CDemoBoxes::~CDemoBoxes() = default;

bool CDemoBoxes::Start(int, std::string& error) {
  error = "this build has no box simulator";
  return false;
}

std::vector<PresetBox> CDemoBoxes::Boxes() const { return {}; }
uint16_t CDemoBoxes::UtilityPort() const { return kBoxUtilityPort; }

#endif

}  // namespace tessamer
