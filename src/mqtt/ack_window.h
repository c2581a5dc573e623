#pragma once
// The records sent to the broker and not yet behind the cursor, in the order sent, and the
// cursor itself: the highest seq such that it and every record sent before it were
// acknowledged. Acknowledgements may come in any order; the cursor moves only over a
// contiguous run of acknowledged records from its front.
//
//   cursor ─┐  sent, acked   sent, not acked   sent, acked    ← entries, oldest first
//           └─ 117 │ 118 ✓ ─── 119 ───────────── 120 ✓ ──────── Acked(119): cursor 120
//
// After a lost connection the entries stay: those not acknowledged are sent again (the payload
// is kept for that), those acknowledged are not, and the cursor passes them once the ones
// before them are acknowledged.
//
// Threads: one thread (the uplink's).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace tessamer {

class CAckWindow {
 public:
  struct Entry {
    uint64_t seq = 0;
    int64_t headerId = 0;
    std::string payload;
    bool acked = false;
  };

  explicit CAckWindow(uint64_t cursor = 0) : cursor(cursor) {}

  // A record sent; its seq is above every seq before it and above the cursor.
  void Sent(uint64_t seq, int64_t headerId, std::string payload);
  // The broker acknowledged `seq`. True when the cursor moved. An unknown seq is ignored.
  bool Acked(uint64_t seq);

  uint64_t Cursor() const { return cursor; }
  // Entries: sent, and not yet behind the cursor (acknowledged ones waiting for older ones
  // included). The window's fill.
  size_t Size() const { return entries.size(); }
  size_t Unacked() const { return unacked; }
  // The newest seq sent, or the cursor when nothing is.
  uint64_t Newest() const { return entries.empty() ? cursor : entries.back().seq; }
  // The entries, oldest first: what is sent again after a lost connection.
  const std::deque<Entry>& Entries() const { return entries; }

 private:
  uint64_t cursor;
  std::deque<Entry> entries;  // seq ascending
  size_t unacked = 0;
};

}  // namespace tessamer
