#pragma once
// The web page's live feed, GET /events (Server-Sent Events): an event per combined record and
// one per change of the hub's health, at most one health event a period (a second).
//
//   run's publishing ─ CEventOutput::OnRecord ─ asio::post ─┐   (returns at once; nothing is
//   (the bridge's outputs)  OnHeader ───────────────────────┤    posted while no stream is open)
//                                                           ▼
//   server thread: CEventStreams ─ frames each event once ─► the same shared text to every
//                   │ health tick (a period): snapshot,      stream (CHttpStream: bounded in
//                   │ sent when it changed                   bytes; a client over it is dropped)
//                   └ a new stream: "retry:" and the health at once
//
// Every event has an "id:" (rising for the life of the process) and a name: "record" (data: the
// record's JSON, record_json.h) or "health" (data: the /status JSON). A repeated record (the
// hub's repeat of a silent run) is not an event. The browser's EventSource reconnects by itself
// when the stream breaks, the hub's restart included.
//
// Threads: CEventOutput's operations from the run's threads (one at a time, as the outputs are
// called) and Attach/Detach from the owner's; `lock` guards the target. CEventStreams on the
// server thread only, but OpenCount from any.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "app/status/http_exchange.h"
#include "hub/core/health.h"
#include "hub/core/job_output.h"

namespace tessamer {

inline constexpr std::chrono::milliseconds kHealthEventPeriod{1000};
inline constexpr std::chrono::milliseconds kEventRetry{3000};  // the browser's wait before it reconnects

class CEventStreams {
 public:
  using Snapshot = std::function<HubHealth()>;

  // `snapshot` gives the hub's health (on the server thread); `executor` is the server's.
  CEventStreams(Snapshot snapshot, asio::any_io_executor executor,
                std::chrono::milliseconds healthPeriod = kHealthEventPeriod);
  CEventStreams(const CEventStreams&) = delete;
  CEventStreams& operator=(const CEventStreams&) = delete;

  // Answers GET /events with a stream: the reconnection wait and the current health at once.
  void Open(CHttpReply& reply);
  void OnHeader(const PublishedHeader& header);
  void OnRecord(const PublishedRecord& record);
  // Ends the health ticks; the streams close with the server.
  void Stop();
  size_t OpenCount() const { return openCount.load(); }

 private:
  std::shared_ptr<const std::string> Frame(const char* event, const std::string& data);
  void Broadcast(const std::shared_ptr<const std::string>& text);
  void Prune();
  void ArmTick();
  void OnTick();

  Snapshot snapshot;
  const std::chrono::milliseconds healthPeriod;
  asio::steady_timer tick;
  bool ticking = false;
  bool stopped = false;
  std::vector<std::shared_ptr<CHttpStream>> streams;
  std::vector<std::string> channelNames;  // of the newest combined header
  uint64_t nextId = 1;
  std::string lastHealth;  // the last health sent, its time left out
  std::atomic<size_t> openCount{0};
};

// The output of the combined job that feeds CEventStreams; given to the bridge (AddOutput).
class CEventOutput final : public CJobOutputBase {
 public:
  // From now on, headers and records go to `streams` on `executor` (the server's thread).
  void Attach(asio::any_io_executor executor, CEventStreams* streams);
  // Nothing is posted after this returns; call before the server stops.
  void Detach();

  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;

 private:
  std::mutex lock;
  std::optional<asio::any_io_executor> executor;  // guarded by lock
  CEventStreams* streams = nullptr;               // guarded by lock
};

}  // namespace tessamer
