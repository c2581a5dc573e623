#include "mqtt/ack_window.h"

#include <algorithm>
#include <utility>

namespace tessamer {

void CAckWindow::Sent(uint64_t seq, int64_t headerId, std::string payload) {
  entries.push_back(Entry{seq, headerId, std::move(payload), false});
  ++unacked;
}

bool CAckWindow::Acked(uint64_t seq) {
  const auto at = std::lower_bound(entries.begin(), entries.end(), seq,
                                   [](const Entry& entry, uint64_t s) { return entry.seq < s; });
  if (at == entries.end() || at->seq != seq || at->acked) return false;
  at->acked = true;
  at->payload = std::string();  // never sent again
  --unacked;
  bool moved = false;
  while (!entries.empty() && entries.front().acked) {
    cursor = entries.front().seq;
    entries.pop_front();
    moved = true;
  }
  return moved;
}

}  // namespace tessamer
