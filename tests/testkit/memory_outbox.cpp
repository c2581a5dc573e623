#include "testkit/memory_outbox.h"

namespace tessamer::testkit {

int64_t MemoryOutbox::AddHeader(size_t channels, int64_t run) {
  std::lock_guard guard(lock);
  OutboxHeader header;
  header.headerId = static_cast<int64_t>(headers.size()) + 1;
  header.run = run;
  header.time = "2026-12-09T18:06:14.123Z";
  for (size_t i = 0; i < channels; ++i) {
    header.channels.push_back({"Pressure" + std::to_string(i) + "_0", "psi", 0});
  }
  header.boxes.push_back({0, "SN-4711", "3.2.1", "Pumping"});
  headers[header.headerId] = header;
  return header.headerId;
}

std::string MemoryOutbox::ValueText(uint64_t seq, size_t channel) {
  return std::to_string(seq) + "." + std::to_string(channel);
}

uint64_t MemoryOutbox::Commit(int64_t headerId, size_t count, const std::set<size_t>& missing) {
  uint64_t last = 0;
  {
    std::lock_guard guard(lock);
    headers.at(headerId);  // known
    const auto shared = std::make_shared<const std::set<size_t>>(missing);
    for (size_t n = 0; n < count; ++n) {
      records.emplace_hint(records.end(), ++newest, Stored{headerId, shared});
    }
    last = newest;
  }
  std::lock_guard guard(wakeLock);
  if (wake) wake(last);
  return last;
}

OutboxRecord MemoryOutbox::Made(uint64_t seq, const Stored& stored) const {
  const OutboxHeader& header = headers.at(stored.headerId);
  OutboxRecord record{seq, header.run, stored.headerId, "2026-12-09T19:06:14",
                      "2026-12-09T18:06:14.123Z", "["};
  for (size_t i = 0; i < header.channels.size(); ++i) {
    record.values += (i > 0 ? "," : "") + (stored.missing->count(i) ? "null" : ValueText(seq, i));
  }
  record.values += "]";
  return record;
}

void MemoryOutbox::Remove(uint64_t first, uint64_t last) {
  std::lock_guard guard(lock);
  records.erase(records.lower_bound(first), records.upper_bound(last));
}

void MemoryOutbox::FailReads(bool fail) {
  std::lock_guard guard(lock);
  failReads = fail;
}

void MemoryOutbox::FailCursorWrites(bool fail) {
  std::lock_guard guard(lock);
  failCursorWrites = fail;
}

std::optional<uint64_t> MemoryOutbox::Cursor(const std::string& name) const {
  std::lock_guard guard(lock);
  const auto found = cursors.find(name);
  if (found == cursors.end()) return std::nullopt;
  return found->second;
}

size_t MemoryOutbox::CursorWrites() const {
  std::lock_guard guard(lock);
  return cursorWrites;
}

void MemoryOutbox::SetCursor(const std::string& name, uint64_t seq) {
  std::lock_guard guard(lock);
  cursors[name] = seq;
}

bool MemoryOutbox::ReadAfter(uint64_t after, size_t limit, std::vector<OutboxRecord>& taken,
                             std::string& error) {
  std::lock_guard guard(lock);
  if (failReads) {
    error = "the outbox cannot be read";
    return false;
  }
  for (auto at = records.upper_bound(after); at != records.end() && limit > 0; ++at, --limit) {
    taken.push_back(Made(at->first, at->second));
  }
  return true;
}

bool MemoryOutbox::ReadHeader(int64_t headerId, OutboxHeader& header, std::string& error) {
  std::lock_guard guard(lock);
  const auto found = headers.find(headerId);
  if (failReads || found == headers.end()) {
    error = "header " + std::to_string(headerId) + " cannot be read";
    return false;
  }
  header = found->second;
  return true;
}

bool MemoryOutbox::NewestSeq(uint64_t& seq, std::string& error) {
  std::lock_guard guard(lock);
  if (failReads) {
    error = "the outbox cannot be read";
    return false;
  }
  seq = newest;
  return true;
}

bool MemoryOutbox::ReadCursor(const std::string& name, std::optional<uint64_t>& seq,
                              std::string& error) {
  std::lock_guard guard(lock);
  if (failReads) {
    error = "the outbox cannot be read";
    return false;
  }
  const auto found = cursors.find(name);
  seq = found == cursors.end() ? std::nullopt : std::optional<uint64_t>(found->second);
  return true;
}

bool MemoryOutbox::WriteCursor(const std::string& name, uint64_t seq, std::string& error) {
  std::lock_guard guard(lock);
  if (failCursorWrites) {
    error = "the cursor cannot be written";
    return false;
  }
  cursors[name] = seq;
  ++cursorWrites;
  return true;
}

void MemoryOutbox::SetWake(Wake changed) {
  std::lock_guard guard(wakeLock);
  wake = std::move(changed);
}

}  // namespace tessamer::testkit
