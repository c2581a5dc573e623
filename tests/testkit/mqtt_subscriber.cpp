#include "testkit/mqtt_subscriber.h"

#include <mosquitto.h>

#include <mutex>

namespace tessamer::testkit {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kQos = 1;
constexpr unsigned kReconnectSeconds = 1;  // after the broker went away: every second

}  // namespace

MqttSubscriber::~MqttSubscriber() { Stop(); }

bool MqttSubscriber::Start(uint16_t port, const std::string& clientId, const std::string& filter,
                           std::string& error, const std::string& user,
                           const std::string& password) {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
  client = mosquitto_new(clientId.c_str(), false, this);
  if (client == nullptr) {
    error = "the subscriber could not be made";
    return false;
  }
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_message_callback_set(client, &OnMessage);
  mosquitto_subscribe_callback_set(client, &OnSubscribe);
  mosquitto_reconnect_delay_set(client, kReconnectSeconds, kReconnectSeconds, false);
  if (!user.empty()) mosquitto_username_pw_set(client, user.c_str(), password.c_str());
  int code = mosquitto_connect(client, "127.0.0.1", port, kKeepAliveSeconds);
  if (code == MOSQ_ERR_SUCCESS) code = mosquitto_loop_start(client);
  if (code == MOSQ_ERR_SUCCESS) code = mosquitto_subscribe(client, nullptr, filter.c_str(), kQos);
  if (code != MOSQ_ERR_SUCCESS) {
    error = std::string("the subscriber could not subscribe: ") + mosquitto_strerror(code);
    return false;
  }
  if (!subscribed.WaitForCount(1)) {
    error = "the broker did not answer the subscription";
    return false;
  }
  return true;
}

void MqttSubscriber::Stop() {
  if (client == nullptr) return;
  mosquitto_disconnect(client);
  mosquitto_loop_stop(client, false);
  mosquitto_destroy(client);
  client = nullptr;
}

void MqttSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* subscriber = static_cast<MqttSubscriber*>(self);
  MqttMessage taken{message->topic,
                    std::string(static_cast<const char*>(message->payload),
                                static_cast<size_t>(message->payloadlen)),
                    message->retain, std::chrono::steady_clock::now()};
  if (subscriber->onMessage) subscriber->onMessage(taken);
  if (subscriber->keepMessages) subscriber->messages.Add(std::move(taken));
}

void MqttSubscriber::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted) {
  static_cast<MqttSubscriber*>(self)->subscribed.Add(count > 0 ? granted[0] : -1);
}

}  // namespace tessamer::testkit
