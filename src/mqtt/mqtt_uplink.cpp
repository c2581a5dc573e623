#include "mqtt/mqtt_uplink.h"

#include <atomic>
#include <mutex>

#include "mqtt/mqtt_sender.h"
#include "mqtt/poll_loop.h"

namespace tessamer {

struct CMqttUplink::Parts {
  Parts(MqttSettings settings, std::shared_ptr<IOutbox> outbox, MqttReport report)
      : outbox(std::move(outbox)), sender(std::move(settings), *this->outbox, std::move(report)) {}

  // After a commit, on the outbox's thread: one task carries the newest seq, however many
  // commits come before it runs.
  void Wake(uint64_t newest) {
    uint64_t known = committed.load();
    while (newest > known && !committed.compare_exchange_weak(known, newest)) {
    }
    if (wakePending.exchange(true)) return;
    loop.Post([this] {
      wakePending = false;
      sender.OnCommitted(committed.load());
    });
  }

  const std::shared_ptr<IOutbox> outbox;
  CMqttSender sender;
  CPollLoop loop{sender};
  std::atomic<uint64_t> committed{0};
  std::atomic<bool> wakePending{false};
  std::once_flag stopped;
};

bool HasMqtt() { return true; }

std::shared_ptr<CMqttUplink> CMqttUplink::Start(MqttSettings settings,
                                                std::shared_ptr<IOutbox> outbox,
                                                MqttReport report, std::string& error) {
  auto parts = std::make_unique<Parts>(std::move(settings), std::move(outbox), std::move(report));
  Parts& started = *parts;
  started.loop.Post([&sender = started.sender] { sender.Begin(); });
  if (!started.loop.Start(error)) return nullptr;
  started.outbox->SetWake([&started](uint64_t newest) { started.Wake(newest); });
  return std::shared_ptr<CMqttUplink>(new CMqttUplink(std::move(parts)));
}

CMqttUplink::CMqttUplink(std::unique_ptr<Parts> parts) : parts(std::move(parts)) {}

CMqttUplink::~CMqttUplink() { Stop(); }

void CMqttUplink::OnBoxEvent(const BoxEvent&) {
  parts->loop.Post([&sender = parts->sender] { sender.OnBoxChanged(); });
}

void CMqttUplink::AddHealth(HubHealth& health) const { health.uplink = parts->sender.Figures(); }

void CMqttUplink::SetHealth(HealthDocument document) {
  parts->loop.Post([&sender = parts->sender, document = std::move(document)]() mutable {
    sender.SetHealth(std::move(document));
  });
}

void CMqttUplink::Reconfigure(MqttSettings settings) {
  parts->loop.Post([&sender = parts->sender, settings = std::move(settings)]() mutable {
    sender.Reconfigure(std::move(settings));
  });
}

void CMqttUplink::Stop() {
  std::call_once(parts->stopped, [this] {
    parts->outbox->SetWake({});  // waits out a wake-up under way
    parts->loop.Post([&sender = parts->sender] { sender.Stop(); });
    parts->loop.Join();
  });
}

}  // namespace tessamer
