#pragma once
// An outbox held in memory, as the job recording would be one: headers, records committed in
// seq order (the wake-up told after each commit), cursors, and the faults a test needs (reads
// and cursor writes that fail, records removed as retention would).
//
// A record committed here carries, for channel i of its header, the value <seq>.<i>, and null
// for the channels given as missing: a subscriber can check each value against its seq. Records
// are kept compact (their values are written when read), so that a benchmark's backlog of
// hundreds of thousands fits.
//
// Threads: every operation from any thread; `lock` guards everything but the wake-up, which
// is called outside it (on the committing thread) under `wakeLock`.

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "mqtt/outbox.h"

namespace tessamer::testkit {

class MemoryOutbox : public IOutbox {
 public:
  // A header of `channels` channels of box 0 ("Pressure_0" ...), in run `run`; its id.
  int64_t AddHeader(size_t channels, int64_t run = 1);
  // Commits `count` records following `headerId`, channels in `missing` without a value; the
  // newest seq.
  uint64_t Commit(int64_t headerId, size_t count, const std::set<size_t>& missing = {});
  // Removes the records `first` to `last`, as retention would.
  void Remove(uint64_t first, uint64_t last);
  void FailReads(bool fail);
  void FailCursorWrites(bool fail);
  std::optional<uint64_t> Cursor(const std::string& name) const;
  size_t CursorWrites() const;
  // Sets a cursor as a delivery before this one left it.
  void SetCursor(const std::string& name, uint64_t seq);

  bool ReadAfter(uint64_t after, size_t limit, std::vector<OutboxRecord>& records,
                 std::string& error) override;
  bool ReadHeader(int64_t headerId, OutboxHeader& header, std::string& error) override;
  bool NewestSeq(uint64_t& seq, std::string& error) override;
  bool ReadCursor(const std::string& name, std::optional<uint64_t>& seq,
                  std::string& error) override;
  bool WriteCursor(const std::string& name, uint64_t seq, std::string& error) override;
  void SetWake(Wake wake) override;

  // The value a record of `seq` carries in channel `channel`, as the payload writes it.
  static std::string ValueText(uint64_t seq, size_t channel);

 private:
  mutable std::mutex lock;
  std::map<int64_t, OutboxHeader> headers;
  struct Stored {
    int64_t headerId = 0;
    std::shared_ptr<const std::set<size_t>> missing;
  };
  OutboxRecord Made(uint64_t seq, const Stored& stored) const;

  std::map<uint64_t, Stored> records;
  std::map<std::string, uint64_t> cursors;
  uint64_t newest = 0;
  size_t cursorWrites = 0;
  bool failReads = false;
  bool failCursorWrites = false;

  std::mutex wakeLock;  // held while the wake-up runs, and to change it
  Wake wake;            // guarded by wakeLock
};

}  // namespace tessamer::testkit
