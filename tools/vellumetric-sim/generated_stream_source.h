#pragma once
// A generated data stream: the box's header block, then one data line per record period with the
// local time and plausible values for the box's channels. Every open connection gets the same line.
// Threads: as IBoxStreamSource.

#include <random>
#include <string_view>

#include "box_setup.h"
#include "box_stream_source.h"

namespace tessamer::sim {

class CGeneratedStreamSource final : public IBoxStreamSource {
 public:
  // The stream of the box `setup` describes, whose header carries `serialNumber`; the values'
  // noise is repeatable for a given `noiseSeed`.
  CGeneratedStreamSource(const BoxSetup& setup, std::string_view serialNumber, uint32_t noiseSeed);

  const std::string& Opening() const override { return headerBlock; }
  std::chrono::milliseconds Period() const override { return setup.recordPeriod; }
  std::chrono::milliseconds PieceGap() const override { return std::chrono::milliseconds(0); }
  bool HeldUntilReleased() const override { return false; }
  void Open(CBoxDataConnection& connection) override;
  bool SendRecord(uint64_t sequence, const Connections& connections) override;

 private:
  // The data line of record `sequence`, stamped with the time now.
  std::string DataLine(uint64_t sequence);

  const BoxSetup setup;
  const std::string headerBlock;
  std::mt19937 noise;
};

}  // namespace tessamer::sim
