#pragma once
// What delivery off the site reads its records from: the outbox. The job recording is the
// outbox of the hub (its records in seq order, their headers, a delivery cursor kept in the same
// file); tests use one held in memory (tests/testkit/memory_outbox.h).
//
// A record's seq is final once it is committed: the outbox hands out committed records only, in
// seq order, never the same seq twice for different records (also across restarts). Gaps are
// allowed (records removed by retention).
//
// Threads: the reads, the cursor and NewestSeq from one thread at a time (the uplink's); the
// wake-up is set before records flow, and called on the outbox's writing thread after each
// commit. Setting it again (or to empty) waits until a running call of the old one has
// returned, so whoever set it may go once it has cleared it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hub/core/job_output.h"

namespace tessamer {

// A record as the outbox keeps it.
struct OutboxRecord {
  uint64_t seq = 0;
  int64_t run = 0;       // the outbox's own number of the record's run
  int64_t headerId = 0;  // the header its values follow
  std::string boxTime;     // the box's date and time of the record, "YYYY-MM-DDTHH:MM:SS"
  std::string receivedAt;  // when the hub published it, UTC ISO 8601 with milliseconds
  std::string values;      // JSON array in header order: numbers, null for a channel without one
};

struct OutboxHeader {
  int64_t headerId = 0;
  int64_t run = 0;
  std::string time;  // when it was published, UTC ISO 8601 with milliseconds
  std::vector<ChannelSource> channels;  // header order
  std::vector<BoxFacts> boxes;          // agent order; may be empty when the outbox has none
};

class IOutbox {
 public:
  // Told the newest committed seq after a commit.
  using Wake = std::function<void(uint64_t newest)>;

  virtual ~IOutbox() = default;
  // Appends up to `limit` records with a seq above `after` to `records`, in seq order. False
  // with `error` (one line) when reading failed.
  virtual bool ReadAfter(uint64_t after, size_t limit, std::vector<OutboxRecord>& records,
                         std::string& error) = 0;
  // The header `headerId`. False with `error` when it cannot be read or is gone.
  virtual bool ReadHeader(int64_t headerId, OutboxHeader& header, std::string& error) = 0;
  // The newest committed seq (0 when the outbox never held a record).
  virtual bool NewestSeq(uint64_t& seq, std::string& error) = 0;
  // The delivery cursor `name`: every record up to it has been delivered. None when it was
  // never written.
  virtual bool ReadCursor(const std::string& name, std::optional<uint64_t>& seq,
                          std::string& error) = 0;
  virtual bool WriteCursor(const std::string& name, uint64_t seq, std::string& error) = 0;
  // Sets the wake-up (see the thread statement above); empty: none.
  virtual void SetWake(Wake wake) = 0;
};

}  // namespace tessamer
