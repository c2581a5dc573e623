#pragma once
// The job recording as the uplink's outbox: its records after a seq in order, its headers, the
// delivery's row of its `cursors` table, and the recording's two hooks (a batch committed,
// records the size limit forced out before they were delivered) handed on to the uplink and to
// the program's lines.
//
//   recording's writer ── Committed(newest) ──► the uplink's wake-up
//                     └── Dropped(first, last) ─► "mqtt dropped seq=A-B reason=retention"
//   uplink's thread ── ReadAfter, ReadHeader, NewestSeq, cursors ──► its own connection to FILE
//
// The outbox has a connection of its own to the file (WAL: its reads run beside the writer's
// batches; a cursor write waits a moment for the writer's lock). Made before the recording is
// opened, so that the recording's settings can carry its hooks.
//
// Threads: the IOutbox reads and writes on the uplink's thread (one at a time); Committed and
// Dropped on the recording's writer thread; SetWake and SetDroppedReport from any thread.
// `hookLock` guards the wake-up and the report, and is held while they run.

#include <memory>
#include <mutex>
#include <string>

#include "mqtt/mqtt_lines.h"
#include "mqtt/outbox.h"

namespace tessamer {

class CRecordingOutbox final : public IOutbox {
 public:
  explicit CRecordingOutbox(std::string file);
  ~CRecordingOutbox() override;
  CRecordingOutbox(const CRecordingOutbox&) = delete;
  CRecordingOutbox& operator=(const CRecordingOutbox&) = delete;

  // The recording's hooks (recording_settings.h).
  void Committed(uint64_t newest);
  void Dropped(uint64_t first, uint64_t last);
  // Where "mqtt dropped" lines go.
  void SetDroppedReport(MqttReport report);

  bool ReadAfter(uint64_t after, size_t limit, std::vector<OutboxRecord>& records,
                 std::string& error) override;
  bool ReadHeader(int64_t headerId, OutboxHeader& header, std::string& error) override;
  bool NewestSeq(uint64_t& seq, std::string& error) override;
  bool ReadCursor(const std::string& name, std::optional<uint64_t>& seq,
                  std::string& error) override;
  bool WriteCursor(const std::string& name, uint64_t seq, std::string& error) override;
  void SetWake(Wake wake) override;

 private:
  struct Connection;
  // The connection, opened at the first use (and again after a failure).
  Connection* Open(std::string& error);
  bool Failed(std::string& error);

  const std::string file;
  std::unique_ptr<Connection> connection;  // the uplink's thread's
  bool broken = false;  // the connection failed: closed at the next use

  std::mutex hookLock;
  Wake wake;            // guarded by hookLock
  MqttReport dropped;   // guarded by hookLock
};

}  // namespace tessamer
