#include "app/cli/mqtt_delivery.h"

#include "app/status/health_json.h"
#if defined(TESSAMER_RECORDING_OUTBOX)
#include "mqtt/recording_outbox.h"
#endif

namespace tessamer {
namespace {

// A hub that keeps `health` pointing at itself while it lives.
class CHubWithLiveHealth final : public IHubControl {
 public:
  CHubWithLiveHealth(std::unique_ptr<IHubControl> hub, CLiveHealth& health)
      : hub(std::move(hub)), health(health) {
    health.Attach(this->hub.get());
  }
  ~CHubWithLiveHealth() override { health.Detach(hub.get()); }
  CHubWithLiveHealth(const CHubWithLiveHealth&) = delete;
  CHubWithLiveHealth& operator=(const CHubWithLiveHealth&) = delete;

  bool StartServers() override { return hub->StartServers(); }
  bool Start(const std::vector<Box>& boxes, int channelLimit) override {
    return hub->Start(boxes, channelLimit);
  }
  bool Stop() override { return hub->Stop(); }
  const ErrorInfo& StartError() const override { return hub->StartError(); }
  uint16_t DataPort() const override { return hub->DataPort(); }
  uint16_t UtilityPort() const override { return hub->UtilityPort(); }
  HubHealth Health() const override { return hub->Health(); }
  void Probe(std::function<void()> done) override { hub->Probe(std::move(done)); }
  uint16_t StatusPort() const override { return hub->StatusPort(); }
  void AddOutput(std::shared_ptr<IJobOutput> output) override { hub->AddOutput(std::move(output)); }

 private:
  const std::unique_ptr<IHubControl> hub;
  CLiveHealth& health;
};

}  // namespace

bool MqttSettingsOf(const MqttOptions& options, MqttSettings& settings, std::string& error) {
  MqttSettings made;
  if (!ParseMqttUrl(options.url, made.broker, error)) return false;
  const std::string host = options.topicPrefix.empty() || options.clientId.empty()
                               ? LocalHostName()
                               : std::string();
  made.topicPrefix =
      options.topicPrefix.empty() ? DefaultMqttTopicPrefix(host) : options.topicPrefix;
  made.clientId = options.clientId.empty() ? DefaultMqttClientId(host) : options.clientId;
  made.user = options.user;
  if (!options.passwordFile.empty() &&
      !ReadSecretFile(options.passwordFile, made.password, error)) {
    error = "--mqtt-password-file " + error;
    return false;
  }
  made.caFile = options.caFile;
  made.certFile = options.certFile;
  made.keyFile = options.keyFile;
  settings = std::move(made);
  return true;
}

std::shared_ptr<IOutbox> RecordingOutboxFor(const MqttOptions& options, RecordingChoice& choice,
                                            MqttReport dropped) {
#if defined(TESSAMER_RECORDING_OUTBOX)
  if (options.url.empty() || choice.file.empty()) return nullptr;
  auto outbox = std::make_shared<CRecordingOutbox>(choice.file);
  outbox->SetDroppedReport(std::move(dropped));
  choice.committed = [outbox](uint64_t newest) { outbox->Committed(newest); };
  choice.undelivered = [outbox](uint64_t first, uint64_t last) { outbox->Dropped(first, last); };
  return outbox;
#else
  (void)options, (void)choice, (void)dropped;
  return nullptr;
#endif
}

bool CMqttDelivery::Start(const MqttOptions& options, std::shared_ptr<IOutbox> outbox,
                          MqttReport report, std::string& error) {
  url = options.url;
  if (url.empty()) return true;
  if (!HasMqtt()) {
    error = "--mqtt: this build has no MQTT delivery (it was built without libmosquitto)";
    return false;
  }
  if (!outbox) {
    error = "--mqtt needs the recording (--record FILE): it keeps what the broker has not taken";
    return false;
  }
  MqttSettings settings;
  if (!MqttSettingsOf(options, settings, error)) return false;
  uplink = CMqttUplink::Start(std::move(settings), std::move(outbox), std::move(report), error);
  if (!uplink) error = "--mqtt: " + error;
  return uplink != nullptr;
}

void CMqttDelivery::SetHealth(HealthDocument document) {
  if (uplink) uplink->SetHealth(std::move(document));
}

bool CMqttDelivery::Reload(const CommandLine& reread, std::vector<std::string>& kept,
                           std::string& error) {
  if (reread.mqtt.url.empty() != url.empty()) {
    kept.push_back("mqtt");
    return true;
  }
  if (!uplink) return true;
  MqttSettings settings;
  if (!MqttSettingsOf(reread.mqtt, settings, error)) return false;
  uplink->Reconfigure(std::move(settings));
  return true;
}

void CMqttDelivery::Stop() {
  if (uplink) uplink->Stop();
}

std::string CLiveHealth::Document() const {
  std::lock_guard guard(lock);
  return live != nullptr ? HealthJson(live->Health()) : std::string();
}

void CLiveHealth::Attach(const IHubControl* hub) {
  std::lock_guard guard(lock);
  live = hub;
}

void CLiveHealth::Detach(const IHubControl* hub) {
  std::lock_guard guard(lock);
  if (live == hub) live = nullptr;
}

std::unique_ptr<IHubControl> WithLiveHealth(std::unique_ptr<IHubControl> hub, CLiveHealth& health) {
  return std::make_unique<CHubWithLiveHealth>(std::move(hub), health);
}

CHeadlessRunner::HubFactory WithLiveHealth(CHeadlessRunner::HubFactory makeHub,
                                           CLiveHealth& health) {
  return [makeHub = std::move(makeHub), &health](
             INoticeSink* sink, const HubConfig& config) -> std::unique_ptr<IHubControl> {
    return std::make_unique<CHubWithLiveHealth>(makeHub(sink, config), health);
  };
}

}  // namespace tessamer
