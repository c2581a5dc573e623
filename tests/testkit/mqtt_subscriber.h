#pragma once
// A subscriber at the test's broker: a libmosquitto client on a thread of its own, with a
// session the broker keeps (messages published while it is away wait for it, also across a
// restart of a broker that persists), taking QoS 1 messages and recording each with the moment
// it came. The uplink's tests, the soak and the benchmark read what the hub published through
// it.
//
// Threads: Start and Stop on the test's thread; the messages are recorded on the client's own
// thread (the library's loop, which also reconnects after the broker comes back).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "testkit/recorders.h"

struct mosquitto;
struct mosquitto_message;

namespace tessamer::testkit {

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::chrono::steady_clock::time_point at{};  // when it arrived
};

class MqttSubscriber {
 public:
  MqttSubscriber() = default;
  ~MqttSubscriber();  // Stop
  MqttSubscriber(const MqttSubscriber&) = delete;
  MqttSubscriber& operator=(const MqttSubscriber&) = delete;

  // Connects to 127.0.0.1:`port` as `clientId` (with `user` and `password` when a user is
  // given), subscribes to `filter` with QoS 1 and waits (bounded) for the broker's answer.
  // False with `error` when any of it failed.
  bool Start(uint16_t port, const std::string& clientId, const std::string& filter,
             std::string& error, const std::string& user = {}, const std::string& password = {});
  // Disconnects and ends the thread; the broker keeps the session.
  void Stop();

  // Called on the client's thread for each message before it is recorded; set before Start.
  std::function<void(const MqttMessage&)> onMessage;
  // Whether Messages keeps them (a benchmark's hundreds of thousands it does not).
  bool keepMessages = true;
  const Recorder<MqttMessage>& Messages() const { return messages; }

 private:
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
  static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);

  mosquitto* client = nullptr;
  Recorder<MqttMessage> messages;
  Recorder<int> subscribed;  // granted QoS of each SUBACK
};

}  // namespace tessamer::testkit
