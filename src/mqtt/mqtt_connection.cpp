#include "mqtt/mqtt_connection.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace tessamer {
namespace {

void InitialiseLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

std::string MqttErrorText(int code) {
  if (code == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(code);
}

std::unique_ptr<CMqttConnection> CMqttConnection::Begin(const MqttSettings& settings,
                                                        const MqttWill& will,
                                                        std::string& error) {
  InitialiseLibraryOnce();
  std::unique_ptr<CMqttConnection> connection(new CMqttConnection());
  connection->client = mosquitto_new(settings.clientId.c_str(), true, connection.get());
  if (connection->client == nullptr) {
    error = std::string("the MQTT client could not be made: ") + std::strerror(errno);
    return nullptr;
  }
  if (!connection->Configure(settings, will, error)) return nullptr;
  const int code =
      mosquitto_connect_async(connection->client, settings.broker.host.c_str(),
                              settings.broker.port, static_cast<int>(settings.timings.keepAlive.count()));
  if (code != MOSQ_ERR_SUCCESS) {
    error = connection->Reason(code);
    return nullptr;
  }
  return connection;
}

bool CMqttConnection::Configure(const MqttSettings& settings, const MqttWill& will,
                                std::string& error) {
  mosquitto_connect_callback_set(client, &OnConnect);
  mosquitto_disconnect_callback_set(client, &OnDisconnect);
  mosquitto_publish_callback_set(client, &OnPublish);
  mosquitto_log_callback_set(client, &OnLog);
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
  // The sender's window bounds what is in flight; the library holds nothing back of its own.
  mosquitto_max_inflight_messages_set(client, 0);
  int code = mosquitto_will_set(client, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                will.payload.data(), 1, true);
  if (code == MOSQ_ERR_SUCCESS && !settings.user.empty()) {
    code = mosquitto_username_pw_set(client, settings.user.c_str(), OrNull(settings.password));
  }
  if (code == MOSQ_ERR_SUCCESS && settings.broker.tls) {
    if (settings.caFile.empty()) mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    code = mosquitto_tls_set(client, OrNull(settings.caFile),
                             settings.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                             OrNull(settings.certFile), OrNull(settings.keyFile), nullptr);
  }
  if (code != MOSQ_ERR_SUCCESS) {
    error = Reason(code);
    return false;
  }
  return true;
}

CMqttConnection::~CMqttConnection() {
  if (client != nullptr) mosquitto_destroy(client);
}

int CMqttConnection::Socket() const { return closed ? -1 : mosquitto_socket(client); }

bool CMqttConnection::WantWrite() const { return !closed && mosquitto_want_write(client); }

void CMqttConnection::Read() {
  if (closed) return;
  const int code = mosquitto_loop_read(client, 1);
  if (code != MOSQ_ERR_SUCCESS && !closed) Note(MqttEvent::Closed, 0, Reason(code));
}

void CMqttConnection::Write() {
  if (closed) return;
  const int code = mosquitto_loop_write(client, 1);
  if (code != MOSQ_ERR_SUCCESS && !closed) Note(MqttEvent::Closed, 0, Reason(code));
}

void CMqttConnection::Tick() {
  if (closed) return;
  const int code = mosquitto_loop_misc(client);
  if (code != MOSQ_ERR_SUCCESS && !closed) Note(MqttEvent::Closed, 0, Reason(code));
}

bool CMqttConnection::Publish(const std::string& topic, std::string_view payload, int qos,
                              bool retain, int& mid) {
  if (closed) return false;
  const int code = mosquitto_publish(client, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
  if (code == MOSQ_ERR_SUCCESS) return true;
  if (!closed) Note(MqttEvent::Closed, 0, Reason(code));
  return false;
}

void CMqttConnection::Disconnect() {
  if (!closed) mosquitto_disconnect(client);
}

std::vector<MqttEvent> CMqttConnection::TakeEvents() {
  std::vector<MqttEvent> taken;
  taken.swap(events);
  return taken;
}

void CMqttConnection::Note(MqttEvent::Kind kind, int mid, std::string reason) {
  if (kind == MqttEvent::Closed) closed = true;
  events.push_back(MqttEvent{kind, mid, std::move(reason)});
}

std::string CMqttConnection::Reason(int code) const {
  if ((code == MOSQ_ERR_TLS || code == MOSQ_ERR_PROTOCOL) && !lastLoggedError.empty()) {
    return lastLoggedError;
  }
  return MqttErrorText(code);
}

void CMqttConnection::OnConnect(mosquitto*, void* self, int code) {
  auto* connection = static_cast<CMqttConnection*>(self);
  if (code == 0) {
    connection->Note(MqttEvent::Connected, 0, {});
  } else {
    connection->Note(MqttEvent::Refused, 0, mosquitto_connack_string(code));
  }
}

void CMqttConnection::OnDisconnect(mosquitto*, void* self, int code) {
  auto* connection = static_cast<CMqttConnection*>(self);
  const int number = errno;  // the library's failing call left it there
  if (connection->closed) return;
  std::string reason = code == MOSQ_ERR_SUCCESS ? std::string("disconnected")
                       : code == MOSQ_ERR_ERRNO ? std::string(std::strerror(number))
                                                : connection->Reason(code);
  connection->Note(MqttEvent::Closed, 0, std::move(reason));
}

void CMqttConnection::OnPublish(mosquitto*, void* self, int mid) {
  static_cast<CMqttConnection*>(self)->Note(MqttEvent::Acked, mid, {});
}

void CMqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR && text != nullptr) {
    static_cast<CMqttConnection*>(self)->lastLoggedError = text;
  }
}

}  // namespace tessamer
