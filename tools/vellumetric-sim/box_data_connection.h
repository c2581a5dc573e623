#pragma once
// One connection to a simulated box's data port: it owns its socket and a queue of pieces of text,
// and writes them one at a time, each `gap` after the one before (no wait when the gap is 0), so
// that text cut into pieces arrives cut where the pieces were cut.
//
// Shared ownership, as Asio's sessions: the box's list of connections and every pending handler
// hold it, so it lives until it is closed and its last handler has run.
// Threads: the simulator's thread only.

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tessamer::sim {

// A data connection whose reader falls this far behind is closed, as a box with a full send
// buffer would give up on it.
inline constexpr size_t kMaxPendingBytes = 1 << 20;

class CBoxDataConnection : public std::enable_shared_from_this<CBoxDataConnection> {
 public:
  // Takes over an accepted socket; `gap` is the pause between two pieces.
  CBoxDataConnection(asio::ip::tcp::socket socket, std::chrono::milliseconds gap);
  CBoxDataConnection(const CBoxDataConnection&) = delete;
  CBoxDataConnection& operator=(const CBoxDataConnection&) = delete;

  // Queues `pieces` behind what waits; closes the connection instead when its reader has fallen
  // more than kMaxPendingBytes behind.
  void Send(std::vector<std::string> pieces);
  // Closes the socket and drops what waits; idempotent.
  void Close();
  bool IsOpen() const { return socket.is_open(); }

  // Replayed streams: the slots of the recording this connection has been sent.
  size_t SlotsSent() const { return slotsSent; }
  void CountSlot() { ++slotsSent; }

 private:
  void WriteNext();
  void OnWritten(const asio::error_code& error);

  asio::ip::tcp::socket socket;
  asio::steady_timer gapTimer;         // the pause before the next piece
  const std::chrono::milliseconds gap;
  std::deque<std::string> queue;       // pieces not yet written; the front one is being written
  size_t pendingBytes = 0;             // bytes in `queue`
  bool writing = false;                // a write or a gap is under way
  size_t slotsSent = 0;
};

}  // namespace tessamer::sim
