#include "replayed_stream_source.h"

namespace tessamer::sim {

CReplayedStreamSource::CReplayedStreamSource(std::string_view recording, const ReplayPacing& pacing,
                                             uint32_t cutSeed)
    : script(SplitReplay(recording)), pacing(pacing), cuts(cutSeed) {}

void CReplayedStreamSource::Open(CBoxDataConnection& connection) { connection.Send(Pieces(script.opening)); }

bool CReplayedStreamSource::SendRecord(uint64_t, const Connections& connections) {
  bool sent = false;
  for (const auto& connection : connections) {
    if (connection->SlotsSent() >= script.slots.size()) continue;
    const std::string& slot = script.slots[connection->SlotsSent()];
    connection->CountSlot();
    connection->Send(Pieces(slot));
    sent = true;
  }
  return sent;
}

std::vector<std::string> CReplayedStreamSource::Pieces(std::string_view text) {
  if (pacing.maxPiece == 0) return {std::string(text)};
  return CutIntoPieces(text, pacing.maxPiece, cuts);
}

}  // namespace tessamer::sim
