#include "mqtt/mqtt_sender.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "version.h"

namespace tessamer {
namespace {

constexpr int kQos = 1;  // every message is acknowledged

template <typename Point>
void TakeEarlier(std::optional<Point>& earliest, Point candidate) {
  if (!earliest || candidate < *earliest) earliest = candidate;
}

std::string SecondsText(std::chrono::milliseconds wait) {
  return std::to_string((wait.count() + 999) / 1000) + " s";
}

}  // namespace

CMqttSender::CMqttSender(MqttSettings settings, IOutbox& outbox, MqttReport report)
    : settings(std::move(settings)),
      outbox(outbox),
      report(std::move(report)),
      nextRetry(this->settings.timings.firstRetry) {
  NameTopics();
}

int CMqttSender::Socket() const { return connection ? connection->Socket() : -1; }

bool CMqttSender::WantWrite() const { return connection && connection->WantWrite(); }

std::optional<CMqttSender::Clock::time_point> CMqttSender::Deadline() const {
  std::optional<Clock::time_point> earliest;
  if (link == Link::Waiting) TakeEarlier(earliest, retryAt);
  if (link == Link::Connecting) TakeEarlier(earliest, connectDeadline);
  if (link == Link::Stopping) TakeEarlier(earliest, stopDeadline);
  if (connection) TakeEarlier(earliest, tickAt);
  if (link == Link::Connected) TakeEarlier(earliest, healthAt);
  if (cursorAt) TakeEarlier(earliest, *cursorAt);
  if (outboxRetryAt) TakeEarlier(earliest, *outboxRetryAt);
  return earliest;
}

void CMqttSender::OnReady(bool readable, bool writable) {
  if (!connection) return;
  if (readable) connection->Read();
  if (writable) connection->Write();
  Settle();
}

void CMqttSender::OnTime() {
  const Clock::time_point now = Clock::now();
  if (link == Link::Waiting && now >= retryAt) Connect();
  if (link == Link::Connecting && now >= connectDeadline) {
    DropConnection();
    Lose("no answer within " + SecondsText(settings.timings.connectTimeout));
  }
  if (link == Link::Stopping && now >= stopDeadline) FinishStop();
  if (connection && now >= tickAt) {
    tickAt = now + settings.timings.tickPeriod;
    connection->Tick();
    RefreshNewest();
  }
  if (link == Link::Connected && now >= healthAt) PublishHealth();
  if (cursorAt && now >= *cursorAt) WriteCursor();
  if (outboxRetryAt && now >= *outboxRetryAt) {
    outboxRetryAt.reset();
    if (cursorKnown || LoadCursor()) Fill();
  }
  Settle();
}

void CMqttSender::Begin() {
  if (link != Link::Idle) return;
  LoadCursor();
  Connect();
  Settle();
}

void CMqttSender::OnCommitted(uint64_t committed) {
  newest = std::max(newest, committed);
  Fill();
  Settle();
}

void CMqttSender::OnBoxChanged() {
  healthAt = Clock::now();  // at the next look at the deadlines, with every change until then
}

void CMqttSender::SetHealth(HealthDocument document) {
  health = std::move(document);
  if (link == Link::Connected) PublishHealth();
  Settle();
}

void CMqttSender::Reconfigure(MqttSettings changed) {
  if (changed == settings) return;
  const bool live = link == Link::Waiting || link == Link::Connecting || link == Link::Connected;
  if (live && link == Link::Connected) {
    int mid = 0;
    Publish(statusTopic, OfflinePayload(), true, mid);  // the old topics: this hub has gone there
  }
  if (live && connection) connection->Disconnect();
  settings = std::move(changed);
  NameTopics();
  nextRetry = settings.timings.firstRetry;
  if (!live) return;
  DropConnection();
  Tell(MqttLostLine("settings changed", std::chrono::milliseconds(0)));
  Connect();
  Settle();
}

void CMqttSender::NameTopics() {
  statusTopic = TopicOf(settings.topicPrefix, kStatusTopic);
  headerTopic = TopicOf(settings.topicPrefix, kHeaderTopic);
  dataTopic = TopicOf(settings.topicPrefix, kDataTopic);
  healthTopic = TopicOf(settings.topicPrefix, kHealthTopic);
}

void CMqttSender::Stop() {
  if (link == Link::Connected && Publish(statusTopic, OfflinePayload(), true, offlineMid)) {
    WriteCursor();
    link = Link::Stopping;
    stopDeadline = Clock::now() + settings.timings.stopWait;
  } else if (link != Link::Stopping) {
    FinishStop();
  }
  Settle();
}

UplinkHealth CMqttSender::Figures() const {
  std::lock_guard guard(figuresLock);
  return figures;
}

// --- the connection ---

void CMqttSender::Connect() {
  if (attempts++ > 0) {
    std::lock_guard guard(figuresLock);
    ++figures.reconnections;
  }
  std::string error;
  connection = CMqttConnection::Begin(settings, MqttWill{statusTopic, OfflinePayload()}, error);
  if (!connection) {
    Lose(error);
    return;
  }
  link = Link::Connecting;
  const Clock::time_point now = Clock::now();
  connectDeadline = now + settings.timings.connectTimeout;
  tickAt = now + settings.timings.tickPeriod;
}

// The connection is gone (or never came up): the next attempt after the wait.
void CMqttSender::Lose(const std::string& reason) {
  DropConnection();
  WriteCursor();
  lastError = reason;
  failedSinceConnected = true;
  const std::chrono::milliseconds wait = nextRetry;
  nextRetry = std::min(nextRetry * 2, settings.timings.longestRetry);
  retryAt = Clock::now() + wait;
  link = Link::Waiting;
  Tell(MqttLostLine(reason, wait));
}

void CMqttSender::DropConnection() {
  connection.reset();
  inFlight.clear();
  ahead.clear();
  readTo = window.Newest();
  headerOnLink = 0;
  offlineMid = -1;
  caughtUpTold = false;
}

void CMqttSender::Drain() {
  while (connection) {
    std::vector<MqttEvent> events = connection->TakeEvents();
    if (events.empty()) return;
    for (const MqttEvent& event : events) {
      if (!connection) return;  // the events after a lost connection are of no account
      Handle(event);
    }
  }
}

void CMqttSender::Handle(const MqttEvent& event) {
  switch (event.kind) {
    case MqttEvent::Connected:
      if (link == Link::Connecting) OnConnected();
      return;
    case MqttEvent::Refused:
      DropConnection();
      Lose("refused: " + event.reason);
      return;
    case MqttEvent::Closed:
      if (link == Link::Stopping) {
        FinishStop();
      } else {
        DropConnection();
        Lose(event.reason);
      }
      return;
    case MqttEvent::Acked:
      OnAcked(event.mid);
      return;
  }
}

void CMqttSender::OnConnected() {
  link = Link::Connected;
  nextRetry = settings.timings.firstRetry;
  failedSinceConnected = false;
  Tell(MqttConnectedLine(settings.broker.Text()));
  int mid = 0;
  if (!Publish(statusTopic, OnlinePayload(WallClock::now(), kVersionText), true, mid)) return;
  PublishHealth();
  if (Resend()) Fill();
}

void CMqttSender::OnAcked(int mid) {
  if (mid == offlineMid) {
    offlineMid = -1;
    if (link == Link::Stopping && connection) connection->Disconnect();
    return;
  }
  const auto sent = inFlight.find(mid);
  if (sent == inFlight.end()) return;  // the status, a header or the health
  const uint64_t seq = sent->second;
  inFlight.erase(sent);
  ++acknowledged;
  if (window.Acked(seq)) CursorMoved();
  Fill();
}

void CMqttSender::FinishStop() {
  DropConnection();
  link = Link::Stopped;
  WriteCursor();
}

bool CMqttSender::Publish(const std::string& topic, const std::string& payload, bool retain,
                          int& mid) {
  return connection && connection->Publish(topic, payload, kQos, retain, mid);
}

// --- the records ---

bool CMqttSender::LoadCursor() {
  std::optional<uint64_t> stored;
  std::string error;
  if (!outbox.ReadCursor(kMqttCursorName, stored, error)) {
    OutboxFailed(error);
    return false;
  }
  uint64_t start = stored.value_or(0);
  // A delivery the outbox has never seen begins with what is recorded from now on.
  if (!stored && (!outbox.NewestSeq(start, error) ||
                  !outbox.WriteCursor(kMqttCursorName, start, error))) {
    OutboxFailed(error);
    return false;
  }
  window = CAckWindow(start);
  cursorWritten = start;
  readTo = start;
  newest = std::max(newest, start);
  cursorKnown = true;
  RefreshNewest();
  return true;
}

void CMqttSender::Fill() {
  if (link != Link::Connected || !cursorKnown) return;
  while (window.Size() < settings.window) {
    if (ahead.empty() && !ReadMore()) break;
    if (!Send(ahead.front())) return;
    ahead.pop_front();
  }
  TellCaughtUp();
}

bool CMqttSender::ReadMore() {
  if (outboxRetryAt || readTo >= newest) return false;
  std::vector<OutboxRecord> records;
  std::string error;
  if (!outbox.ReadAfter(readTo, kMqttReadBatch, records, error)) {
    OutboxFailed(error);
    return false;
  }
  stalledTold.clear();
  if (records.empty()) {
    readTo = newest;  // what was there is gone (retention took it)
    return false;
  }
  for (OutboxRecord& record : records) ahead.push_back(std::move(record));
  readTo = ahead.back().seq;
  newest = std::max(newest, readTo);
  return true;
}

// What the window holds unacknowledged goes out again, in order, each after its header.
bool CMqttSender::Resend() {
  for (const CAckWindow::Entry& entry : window.Entries()) {
    if (entry.acked) continue;
    int mid = 0;
    if (!EnsureHeader(entry.headerId) || !Publish(dataTopic, entry.payload, false, mid)) {
      return false;
    }
    inFlight[mid] = entry.seq;
  }
  return true;
}

bool CMqttSender::Send(OutboxRecord& record) {
  if (!EnsureHeader(record.headerId)) return false;
  std::string payload = payloads->Payload(record);
  int mid = 0;
  if (!Publish(dataTopic, payload, false, mid)) return false;
  inFlight[mid] = record.seq;
  window.Sent(record.seq, record.headerId, std::move(payload));
  return true;
}

bool CMqttSender::EnsureHeader(int64_t headerId) {
  if (headerId == headerOnLink) return true;
  if (!payloads || payloads->HeaderId() != headerId) {
    OutboxHeader header;
    std::string error;
    if (!outbox.ReadHeader(headerId, header, error)) {
      OutboxFailed(error);
      return false;
    }
    headerPayload = HeaderPayload(header);
    payloads.emplace(header);
  }
  int mid = 0;
  if (!Publish(headerTopic, headerPayload, true, mid)) return false;
  headerOnLink = headerId;
  return true;
}

void CMqttSender::CursorMoved() {
  if (window.Cursor() - cursorWritten >= settings.cursorRecords) {
    WriteCursor();
  } else if (!cursorAt) {
    cursorAt = Clock::now() + settings.timings.cursorPeriod;
  }
}

void CMqttSender::WriteCursor() {
  cursorAt.reset();
  if (!cursorKnown || window.Cursor() == cursorWritten) return;
  std::string error;
  if (!outbox.WriteCursor(kMqttCursorName, window.Cursor(), error)) {
    lastError = error;
    cursorAt = Clock::now() + settings.timings.outboxRetry;
    return;
  }
  cursorWritten = window.Cursor();
}

// In case a wake-up went missing: the outbox's newest seq, looked at on every tick.
void CMqttSender::RefreshNewest() {
  uint64_t seq = 0;
  std::string error;
  if (outbox.NewestSeq(seq, error)) {
    newest = std::max(newest, seq);
    Fill();
  }
}

void CMqttSender::TellCaughtUp() {
  if (caughtUpTold || window.Size() > 0 || !ahead.empty() || readTo < newest) return;
  caughtUpTold = true;
  Tell(MqttCaughtUpLine(window.Cursor()));
}

void CMqttSender::OutboxFailed(const std::string& error) {
  lastError = error;
  outboxRetryAt = Clock::now() + settings.timings.outboxRetry;
  if (error == stalledTold) return;
  stalledTold = error;
  Tell(MqttStalledLine(error));
}

// --- the other topics ---

void CMqttSender::PublishHealth() {
  healthAt = Clock::now() + settings.timings.healthPeriod;
  if (!health) return;
  const std::string document = health();
  int mid = 0;
  if (!document.empty()) Publish(healthTopic, document, true, mid);
}

// The figures first, so that whoever reads a line finds them saying the same.
void CMqttSender::Tell(const std::string& line) {
  RefreshFigures();
  if (report) report(line);
}

void CMqttSender::Settle() {
  Drain();
  RefreshFigures();
}

void CMqttSender::RefreshFigures() {
  std::lock_guard guard(figuresLock);
  figures.broker = settings.broker.Text();
  figures.state = StateName();
  figures.cursor = window.Cursor();
  figures.backlog = newest > window.Cursor() ? newest - window.Cursor() : 0;
  figures.inFlight = window.Unacked();
  figures.sent = acknowledged;
  figures.lastError = lastError;
}

const char* CMqttSender::StateName() const {
  switch (link) {
    case Link::Connected:
    case Link::Stopping:
      return "connected";
    case Link::Stopped:
      return "stopped";
    default:
      return failedSinceConnected ? "lost" : "connecting";
  }
}

}  // namespace tessamer
