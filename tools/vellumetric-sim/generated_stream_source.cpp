#include "generated_stream_source.h"

#include <ctime>

#include "box_stream.h"
#include "support/platform.h"

namespace tessamer::sim {

CGeneratedStreamSource::CGeneratedStreamSource(const BoxSetup& setup, std::string_view serialNumber,
                                               uint32_t noiseSeed)
    : setup(setup), headerBlock(HeaderBlockText(setup, serialNumber)), noise(noiseSeed) {}

void CGeneratedStreamSource::Open(CBoxDataConnection& connection) { connection.Send({headerBlock}); }

bool CGeneratedStreamSource::SendRecord(uint64_t sequence, const Connections& connections) {
  if (connections.empty()) return false;
  const std::string line = DataLine(sequence);
  for (const auto& connection : connections) connection->Send({line});
  return true;
}

std::string CGeneratedStreamSource::DataLine(uint64_t sequence) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto sinceSecond = now - std::chrono::system_clock::from_time_t(seconds);
  // Hundredths only when records come faster than one a second, as a fast box writes them.
  const int hundredths =
      setup.recordPeriod < std::chrono::seconds(1)
          ? static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceSecond).count() / 10)
          : -1;
  return DataLineText(LocalTime(seconds), hundredths, GenerateValues(setup, sequence, noise));
}

}  // namespace tessamer::sim
