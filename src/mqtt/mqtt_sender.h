#pragma once
// Delivery of the outbox's records to the broker, on the uplink's thread: one connection at a
// time, records sent in seq order through a window of messages in flight, the cursor moved over
// what the broker acknowledged and written back to the outbox now and then, reconnection with a
// doubling wait, and the status, header and health topics beside the records.
//
// The link is in one state at a time:
//
//   Idle ─Begin─► Connecting ─CONNACK─► Connected ─lost─► Waiting ─its time─► Connecting
//                     └─ refused, failed, no answer ───────┘   (the wait: 1 s doubling to 60 s,
//                                                                back to 1 s once connected)
//   Connected ─Stop─► Stopping (offline status, its PUBACK awaited) ─► Stopped
//   any other ─Stop─► Stopped
//
// Once connected: the online status, the health document, then the records the window still
// holds unacknowledged (their header first), then the outbox's records after them, as many as
// the window takes. A record goes out after the header it follows; a new connection sends that
// header again. The cursor is written to the outbox every `cursorRecords` records or
// `cursorPeriod` after it moved, at a lost connection and at the stop: after a kill, at most
// that much is sent a second time.
//
// Threads: everything but Figures on the uplink's thread (CPollLoop). Figures from any thread;
// `figuresLock` guards `figures`, which the uplink's thread refreshes after each event.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "hub/core/health.h"
#include "mqtt/ack_window.h"
#include "mqtt/mqtt_connection.h"
#include "mqtt/mqtt_lines.h"
#include "mqtt/mqtt_payloads.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/outbox.h"
#include "mqtt/poll_loop.h"

namespace tessamer {

// The hub's health as the /status document; called on the uplink's thread.
using HealthDocument = std::function<std::string()>;

class CMqttSender final : public IPollClient {
 public:
  // `outbox` must outlive the sender; `report` (may be empty) gets the lines.
  CMqttSender(MqttSettings settings, IOutbox& outbox, MqttReport report);
  CMqttSender(const CMqttSender&) = delete;
  CMqttSender& operator=(const CMqttSender&) = delete;

  // The poll loop's side.
  int Socket() const override;
  bool WantWrite() const override;
  std::optional<std::chrono::steady_clock::time_point> Deadline() const override;
  void OnReady(bool readable, bool writable) override;
  void OnTime() override;
  bool Done() const override { return link == Link::Stopped; }

  // Reads the cursor and starts connecting.
  void Begin();
  // The outbox committed records up to `newest`.
  void OnCommitted(uint64_t newest);
  // A box changed state: the health topic soon.
  void OnBoxChanged();
  // The health document from now on; published at once when connected.
  void SetHealth(HealthDocument document);
  // New settings: a connection with the old ones ends and one with the new ones begins at once.
  void Reconfigure(MqttSettings changed);
  // The clean stop (see above); Done once it is over.
  void Stop();

  // Any thread.
  UplinkHealth Figures() const;

 private:
  enum class Link { Idle, Waiting, Connecting, Connected, Stopping, Stopped };
  using Clock = std::chrono::steady_clock;

  void NameTopics();

  // The connection.
  void Connect();
  void Lose(const std::string& reason);
  void Drain();
  void Handle(const MqttEvent& event);
  void OnConnected();
  void OnAcked(int mid);
  void FinishStop();
  void DropConnection();
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int& mid);

  // The records.
  bool LoadCursor();
  void Fill();
  bool ReadMore();
  bool Resend();
  bool Send(OutboxRecord& record);
  bool EnsureHeader(int64_t headerId);
  void CursorMoved();
  void WriteCursor();
  void RefreshNewest();
  void TellCaughtUp();
  void OutboxFailed(const std::string& error);

  // The other topics.
  void PublishHealth();

  void Tell(const std::string& line);
  // Drain, then the figures refreshed: the end of every entry point.
  void Settle();
  void RefreshFigures();
  const char* StateName() const;

  MqttSettings settings;
  IOutbox& outbox;
  const MqttReport report;
  HealthDocument health;
  std::string statusTopic, headerTopic, dataTopic, healthTopic;

  Link link = Link::Idle;
  std::unique_ptr<CMqttConnection> connection;
  std::chrono::milliseconds nextRetry;
  bool failedSinceConnected = false;
  uint64_t attempts = 0;  // connection attempts since the start
  Clock::time_point retryAt{}, connectDeadline{}, stopDeadline{}, tickAt{}, healthAt{};
  std::optional<Clock::time_point> cursorAt;       // the cursor is written then
  std::optional<Clock::time_point> outboxRetryAt;  // the outbox is tried again then

  bool cursorKnown = false;
  CAckWindow window;
  uint64_t cursorWritten = 0;
  std::deque<OutboxRecord> ahead;  // read from the outbox, not yet sent
  uint64_t readTo = 0;             // the newest seq read from the outbox
  uint64_t newest = 0;             // the newest seq the outbox committed, as far as known
  std::unordered_map<int, uint64_t> inFlight;  // message id → seq, this connection's
  int offlineMid = -1;
  std::optional<CDataPayloads> payloads;  // of the header last loaded
  std::string headerPayload;              // ... and that header's own payload
  int64_t headerOnLink = 0;  // the header this connection sent last; 0: none yet
  bool caughtUpTold = false;
  uint64_t acknowledged = 0;  // records acknowledged since the start
  std::string lastError;
  std::string stalledTold;  // the outbox failure last told, so that it is told once

  mutable std::mutex figuresLock;
  UplinkHealth figures;  // guarded by figuresLock
};

}  // namespace tessamer
