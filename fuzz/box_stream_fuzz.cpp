// Arbitrary bytes from a box through the stream framing and the job data parser, over the
// in-memory link. The first byte picks how many bytes each link read hands out, so line ends
// fall everywhere in the input ring. Every record handed over is checked against its capacities
// and for numbers that are not finite, and every reader step against making progress.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/quintrel_driver.h"
#include "hub/core/records.h"
#include "testkit/memory_device.h"

namespace {

using namespace tessamer;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <typename Char, size_t N>
void CheckTerminated(const Char (&field)[N]) {
  Check(TextOf(field).size() < N);
}

class CheckingHandler : public IDataHandler {
 public:
  void OnData(const Data& data) override {
    Check(data.count >= 0 && data.count <= MaxChannels);
    for (int i = 0; i < data.count; ++i) Check(std::isfinite(data.values[i]));
    for (int i = data.count; i < MaxChannels; ++i) Check(data.values[i] == 0.0);
  }
  void OnHeader(const Header& header) override {
    Check(header.count >= 0 && header.count <= MaxChannels);
    Check(header.dialIndex >= 0 && header.dialIndex < MaxChannels);
    Check(std::isfinite(header.dialMin) && std::isfinite(header.dialMax));
    for (const auto& name : header.names) CheckTerminated(name);
    for (const auto& unit : header.units) CheckTerminated(unit);
    CheckTerminated(header.dialName);
    CheckTerminated(header.serialNumber);
    CheckTerminated(header.firmwareVersion);
    CheckTerminated(header.fpgaVersion);
    CheckTerminated(header.text);
    if (header.diagnostics) {
      CheckTerminated(header.diagnostics->text);
      for (double value : header.diagnostics->values) Check(std::isfinite(value));
    }
  }
  void OnTextLine(const std::string& text) override { Check(text.size() < kTextLineBytes); }
  void OnReaderEnded(bool) override {}
  void OnError(const std::wstring&) override {}
  bool OnReconnectProgress(int32_t, int32_t, bool) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int readLimit = data[0] < 128 ? 1 + data[0] % 61 : 2048;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  auto device = std::make_unique<testkit::CMemoryDevice>(
      std::vector<testkit::MemoryConnection>{{std::move(text), true, 0}});
  device->SetReadLimit(readLimit);
  ErrorInfo failure;
  Check(device->Open(failure));

  CheckingHandler handler;
  CQuintrelDriver driver(&handler, std::move(device));
  // Every step that does not fail consumes at least one byte: a line without an item is skipped
  // alone, and reading always moves on.
  size_t steps = 0;
  while (driver.ReadStep() >= 0) {
    Check(++steps <= size - 1);
    driver.DeliverQueued();  // keeps the queue small for long inputs
  }
  driver.DeliverQueued();
  return 0;
}
