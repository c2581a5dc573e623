#include "box_simulator.h"

#include <algorithm>

#include "support/ipv4_text.h"

namespace tessamer::sim {
namespace {

// Most attempts at finding one free port number on every box's address.
constexpr int kPortAttempts = 20;

}  // namespace

CBoxSimulator::CBoxSimulator(SimulatorOptions options) : samePorts(options.samePorts) {
  const size_t count = std::min(options.boxes.size(), static_cast<size_t>(kMaxSimulatedBoxes));
  for (size_t i = 0; i < count; ++i) {
    const int index = static_cast<int>(i);
    auto observe = [this, index](const std::string& request) { Observe(index, request); };
    boxes.push_back(std::unique_ptr<CSimulatedBox>(
        new CSimulatedBox(context, index, std::move(options.boxes[i]), options.pacing, std::move(observe))));
  }
}

CBoxSimulator::~CBoxSimulator() { Stop(); }

bool CBoxSimulator::Start(std::string* error) {
  if (running) return true;
  std::string failure = boxes.empty() ? "no boxes to simulate" : LoadStreams();
  if (failure.empty()) failure = OpenPorts();
  if (!failure.empty()) {
    for (auto& box : boxes) box->Close();
    if (error != nullptr) *error = std::move(failure);
    return false;
  }
  StartBoxes();
  running = true;
  thread = std::thread([this] { context.run(); });
  return true;
}

void CBoxSimulator::Stop() {
  if (!running) return;
  running = false;
  asio::post(context, [this] {
    for (auto& box : boxes) box->Close();
    context.stop();
  });
  thread.join();
}

void CBoxSimulator::ReleaseReplay() {
  asio::post(context, [this] {
    const auto now = std::chrono::steady_clock::now();
    for (auto& box : boxes) box->Release(now);
  });
}

void CBoxSimulator::StepReplay() {
  asio::post(context, [this] {
    for (auto& box : boxes) box->Step();
  });
}

void CBoxSimulator::SetCommandObserver(std::function<void(int, const std::string&)> newObserver) {
  std::lock_guard guard(observerMutex);
  observer = std::move(newObserver);
}

void CBoxSimulator::Observe(int box, const std::string& request) {
  std::function<void(int, const std::string&)> copy;
  {
    std::lock_guard guard(observerMutex);
    copy = observer;
  }
  if (copy) copy(box, request);
}

std::string CBoxSimulator::LoadStreams() {
  for (auto& box : boxes) {
    std::string failure = box->LoadStream();
    if (!failure.empty()) return failure;
  }
  return {};
}

std::string CBoxSimulator::OpenPorts() {
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    bool retry = false;
    const std::string failure = TryOpenPorts(retry);
    if (failure.empty() && !retry) return {};
    for (auto& box : boxes) box->ClosePorts();
    if (!failure.empty()) return failure;
  }
  return "no port number free on every box address";
}

std::string CBoxSimulator::TryOpenPorts(bool& retry) {
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (!ParseIpv4(boxes[i]->Address())) return "not an IPv4 address: " + boxes[i]->Address();
    for (const Port port : {Port::Data, Port::Utility}) {
      std::string failure = OpenPort(i, port, retry);
      if (!failure.empty() || retry) return failure;
    }
  }
  return {};
}

// A box's own port number if its setup names one; else, when the boxes share their numbers, the
// first box's; else any free one.
std::string CBoxSimulator::OpenPort(size_t index, Port port, bool& retry) {
  CSimulatedBox& box = *boxes[index];
  const uint16_t own = port == Port::Data ? box.Setup().dataPort : box.Setup().utilityPort;
  const bool followsFirst = own == 0 && samePorts && index > 0;
  const uint16_t number = followsFirst ? boxes[0]->PortNumber(port) : own;
  const asio::error_code error = box.OpenPort(port, number);
  if (!error) return {};
  if (error == asio::error::address_in_use && followsFirst) {
    retry = true;  // the first box picked a number that is taken here: every box picks again
    return {};
  }
  return (port == Port::Data ? "data" : "utility") + std::string(" port ") + std::to_string(number) + " on " +
         box.Address() + ": " + error.message();
}

void CBoxSimulator::StartBoxes() {
  const auto now = std::chrono::steady_clock::now();
  for (auto& box : boxes) box->Start(now);
}

}  // namespace tessamer::sim
