#pragma once
// One connection to the broker: a libmosquitto client made for one attempt and destroyed with
// it, so that nothing of a lost connection (its queued messages, its state) outlives it; the
// sender resends from its own window. The connection is driven from outside (CPollLoop): it
// never starts a thread of its own, and every call returns at once.
//
// The library calls back from inside Read, Write, Publish and Disconnect; those calls only
// note what happened, and the owner takes the notes (TakeEvents) once the call has returned, so
// the owner never handles a lost connection from inside a call on that connection.
//
// Threads: one thread (the uplink's) for everything, the library included.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/mqtt_settings.h"

struct mosquitto;

namespace tessamer {

struct MqttEvent {
  enum Kind {
    Connected,  // the broker took the connection (CONNACK)
    Refused,    // the broker answered the connection with a refusal; `reason` says why
    Closed,     // the connection is gone (or never came up); `reason` says why
    Acked,      // the message `mid` was acknowledged (PUBACK)
  };
  Kind kind = Closed;
  int mid = 0;
  std::string reason;
};

// What a connection announces about itself when it comes and goes: the will the broker
// publishes when the connection is lost without a clean stop.
struct MqttWill {
  std::string topic;
  std::string payload;
};

class CMqttConnection {
 public:
  // Makes a client with `settings` and starts connecting. Null with `error` (one line) when it
  // cannot even begin (a TLS file that cannot be read, a host name that does not resolve, the
  // library's refusal of a setting).
  static std::unique_ptr<CMqttConnection> Begin(const MqttSettings& settings,
                                                const MqttWill& will, std::string& error);
  ~CMqttConnection();
  CMqttConnection(const CMqttConnection&) = delete;
  CMqttConnection& operator=(const CMqttConnection&) = delete;

  int Socket() const;  // -1 once closed
  bool WantWrite() const;
  void Read();
  void Write();
  // The keep-alive: a PINGREQ when due; a broker that did not answer the last one closes.
  void Tick();
  // Queues a message, or writes it at once when the socket takes it. False when the connection
  // cannot take it (closed); `mid` is the message's id for its Acked event.
  bool Publish(const std::string& topic, std::string_view payload, int qos, bool retain,
               int& mid);
  // Ends the connection with a DISCONNECT: the broker then drops the will.
  void Disconnect();
  std::vector<MqttEvent> TakeEvents();

 private:
  CMqttConnection() = default;
  bool Configure(const MqttSettings& settings, const MqttWill& will, std::string& error);
  void Note(MqttEvent::Kind kind, int mid, std::string reason);
  // Why the library ended the connection: its last error, the system's, or the code's text.
  std::string Reason(int code) const;

  static void OnConnect(mosquitto* client, void* self, int code);
  static void OnDisconnect(mosquitto* client, void* self, int code);
  static void OnPublish(mosquitto* client, void* self, int mid);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);

  mosquitto* client = nullptr;
  std::vector<MqttEvent> events;
  std::string lastLoggedError;  // the library's last error line (TLS failures say why there)
  bool closed = false;
};

// The library's own messages as texts: "Connection Refused: not authorised." and the like.
std::string MqttErrorText(int code);

}  // namespace tessamer
