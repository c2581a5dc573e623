#pragma once
// Where a simulated box's data stream comes from: an opening that every new data connection gets
// first, then one record per period, sent to every open connection. Two sources stand behind this
// interface: CGeneratedStreamSource (a header block and generated data lines) and
// CReplayedStreamSource (a recorded stream, replayed slot by slot in cut pieces). The box owns its
// source and keeps the clock; the source decides what each connection is sent.
//
// Threads: the simulator's thread only, except Opening(), which never changes once the source is
// built and may be read from any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "box_data_connection.h"

namespace tessamer::sim {

class IBoxStreamSource {
 public:
  using Connections = std::vector<std::shared_ptr<CBoxDataConnection>>;

  virtual ~IBoxStreamSource() = default;

  // The text every new data connection gets first: a header block, or a recording's lines before
  // its first data line.
  virtual const std::string& Opening() const = 0;
  // The time from one record to the next.
  virtual std::chrono::milliseconds Period() const = 0;
  // The pause between two pieces of one send on a connection (0: a send goes out at once).
  virtual std::chrono::milliseconds PieceGap() const = 0;
  // True when the records wait for CBoxSimulator::ReleaseReplay.
  virtual bool HeldUntilReleased() const = 0;

  // Sends the opening to a connection just accepted.
  virtual void Open(CBoxDataConnection& connection) = 0;
  // Record `sequence` (0, 1, ... counted from the first period) is due: sends it to the open
  // `connections`. True when at least one of them was sent a record.
  virtual bool SendRecord(uint64_t sequence, const Connections& connections) = 0;
};

}  // namespace tessamer::sim
