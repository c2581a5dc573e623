#pragma once
// A recorded stream replayed: the recording's lines before its first data line open every
// connection; then each record period sends every connection its own next slot (the lines up to and
// including the next data line), so a connection made late starts at the first slot. The text is
// cut into pieces of 1 to `maxPiece` bytes that go out `pieceGap` apart.
// Threads: as IBoxStreamSource.

#include <random>
#include <string_view>

#include "box_setup.h"
#include "box_stream.h"
#include "box_stream_source.h"

namespace tessamer::sim {

class CReplayedStreamSource final : public IBoxStreamSource {
 public:
  // Replays `recording` (the whole stream) as `pacing` says; the cuts are repeatable for a given
  // `cutSeed`.
  CReplayedStreamSource(std::string_view recording, const ReplayPacing& pacing, uint32_t cutSeed);

  const std::string& Opening() const override { return script.opening; }
  std::chrono::milliseconds Period() const override { return pacing.slot; }
  std::chrono::milliseconds PieceGap() const override { return pacing.pieceGap; }
  bool HeldUntilReleased() const override { return pacing.holdAfterHeader; }
  void Open(CBoxDataConnection& connection) override;
  bool SendRecord(uint64_t sequence, const Connections& connections) override;

 private:
  std::vector<std::string> Pieces(std::string_view text);

  const ReplayScript script;
  const ReplayPacing pacing;
  std::mt19937 cuts;
};

}  // namespace tessamer::sim
