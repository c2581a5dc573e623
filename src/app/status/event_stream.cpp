#include "app/status/event_stream.h"

#include <algorithm>

#include "app/status/health_json.h"
#include "app/status/record_json.h"

namespace tessamer {
namespace {

constexpr const char* kEventStreamType = "text/event-stream; charset=utf-8";
constexpr const char* kQuietComment = ":\n\n";  // a comment: keeps a quiet stream's peers awake

// The health document without its time of taking, to see whether anything else changed.
std::string HealthWithoutTime(HubHealth health) {
  health.takenAt = {};
  return HealthJson(health);
}

}  // namespace

CEventStreams::CEventStreams(Snapshot snapshot, asio::any_io_executor executor,
                             std::chrono::milliseconds healthPeriod)
    : snapshot(std::move(snapshot)), healthPeriod(healthPeriod), tick(std::move(executor)) {}

void CEventStreams::Open(CHttpReply& reply) {
  HttpResponse head;
  head.contentType = kEventStreamType;
  head.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
  std::shared_ptr<CHttpStream> stream = reply.Stream(std::move(head), kQuietComment);
  if (!stream) return;
  Prune();
  const bool first = streams.empty();
  streams.push_back(stream);
  openCount = streams.size();  // before anything is sent: records are posted from now on
  const HubHealth health = snapshot();
  if (first) lastHealth = HealthWithoutTime(health);  // the ticks send changes after this one
  stream->Send(std::make_shared<const std::string>("retry: " + std::to_string(kEventRetry.count()) + "\n\n"));
  stream->Send(Frame("health", HealthJson(health)));
  if (!ticking && !stopped) ArmTick();
}

void CEventStreams::OnHeader(const PublishedHeader& header) {
  channelNames.clear();
  for (const ChannelSource& channel : header.channels) channelNames.push_back(channel.name);
}

void CEventStreams::OnRecord(const PublishedRecord& record) {
  if (record.repeat) return;
  Prune();
  if (streams.empty()) return;
  Broadcast(Frame("record", RecordJson(record, channelNames)));
}

void CEventStreams::Stop() {
  stopped = true;
  tick.cancel();
}

std::shared_ptr<const std::string> CEventStreams::Frame(const char* event, const std::string& data) {
  return std::make_shared<const std::string>("id: " + std::to_string(nextId++) + "\nevent: " + event +
                                             "\ndata: " + data + "\n\n");
}

void CEventStreams::Broadcast(const std::shared_ptr<const std::string>& text) {
  for (const auto& stream : streams) stream->Send(text);
}

void CEventStreams::Prune() {
  streams.erase(std::remove_if(streams.begin(), streams.end(), [](const auto& stream) { return !stream->IsOpen(); }),
                streams.end());
  openCount = streams.size();
}

void CEventStreams::ArmTick() {
  ticking = true;
  tick.expires_after(healthPeriod);
  tick.async_wait([this](const asio::error_code& failure) {
    ticking = false;
    if (!failure && !stopped) OnTick();
  });
}

void CEventStreams::OnTick() {
  Prune();
  if (streams.empty()) {
    lastHealth.clear();  // the next first stream gets the health at once anyway
    return;
  }
  HubHealth health = snapshot();
  std::string unchanged = HealthWithoutTime(health);
  if (unchanged != lastHealth) {
    lastHealth = std::move(unchanged);
    Broadcast(Frame("health", HealthJson(health)));
  }
  ArmTick();
}

void CEventOutput::Attach(asio::any_io_executor target, CEventStreams* to) {
  std::lock_guard guard(lock);
  executor = std::move(target);
  streams = to;
}

void CEventOutput::Detach() {
  std::lock_guard guard(lock);
  executor.reset();
  streams = nullptr;
}

void CEventOutput::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  std::lock_guard guard(lock);
  if (streams == nullptr) return;
  asio::post(*executor, [to = streams, header] { to->OnHeader(*header); });
}

void CEventOutput::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  if (record->repeat) return;
  std::lock_guard guard(lock);
  if (streams == nullptr || streams->OpenCount() == 0) return;
  asio::post(*executor, [to = streams, record] { to->OnRecord(*record); });
}

}  // namespace tessamer
