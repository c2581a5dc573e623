#pragma once
// What delivery to an MQTT broker is made with: the broker's address (an mqtt:// or mqtts://
// URL), the topics' prefix, the client's name and credentials, TLS files, and the limits and
// time-outs of the sender (each a named constant; tests shorten them).
//
// The password is a secret: it is read from its file (ReadSecretFile) and kept here only to be
// handed to the client; nothing prints it (the settings' text, the lines, /status show the
// file's name at most).
//
// Threads: plain values and functions of their arguments; any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessamer {

inline constexpr uint16_t kMqttPort = 1883;   // mqtt://
inline constexpr uint16_t kMqttsPort = 8883;  // mqtts://
inline constexpr const char* kMqttTopicRoot = "tessamer";      // default prefix: tessamer/<host>
inline constexpr const char* kMqttClientIdPrefix = "tessamer-";  // default id: tessamer-<host>
inline constexpr const char* kMqttCursorName = "mqtt";  // the delivery's cursor in the outbox

// Records sent and not yet acknowledged, at most.
inline constexpr size_t kMqttWindow = 64;
// Records read from the outbox at a time.
inline constexpr size_t kMqttReadBatch = 512;
// The cursor is written to the outbox once it has moved this many records, or this long after
// it first moved since the last write; and at once at a clean stop.
inline constexpr uint64_t kMqttCursorRecords = 1000;
inline constexpr std::chrono::milliseconds kMqttCursorPeriod{250};
// Reconnection: the first wait, doubling after each failed attempt up to the longest.
inline constexpr std::chrono::milliseconds kMqttFirstRetry{1000};
inline constexpr std::chrono::milliseconds kMqttLongestRetry{60000};
// A connection attempt that has no answer (CONNACK) after this has failed.
inline constexpr std::chrono::milliseconds kMqttConnectTimeout{10000};
// The broker hears from the hub at least this often (PINGREQ when nothing else is sent); a
// broker that does not answer within it again is lost.
inline constexpr std::chrono::seconds kMqttKeepAlive{30};
// The health topic is published this often (and at every change of a box's state).
inline constexpr std::chrono::milliseconds kMqttHealthPeriod{10000};
// Housekeeping: the keep-alive's check, and a look at the outbox's newest seq in case a
// wake-up was missed.
inline constexpr std::chrono::milliseconds kMqttTickPeriod{1000};
// A clean stop waits this long at most for the broker to take the offline status.
inline constexpr std::chrono::milliseconds kMqttStopWait{2000};
// After the outbox could not be read, the next try.
inline constexpr std::chrono::milliseconds kMqttOutboxRetry{1000};

struct MqttBroker {
  bool tls = false;  // mqtts://
  std::string host;  // a host name or dotted IPv4 address
  uint16_t port = kMqttPort;
  std::string Text() const { return host + ":" + std::to_string(port); }  // "host:port"
  bool operator==(const MqttBroker&) const = default;
};

struct MqttTimings {
  std::chrono::milliseconds firstRetry = kMqttFirstRetry;
  std::chrono::milliseconds longestRetry = kMqttLongestRetry;
  std::chrono::milliseconds connectTimeout = kMqttConnectTimeout;
  std::chrono::seconds keepAlive = kMqttKeepAlive;
  std::chrono::milliseconds healthPeriod = kMqttHealthPeriod;
  std::chrono::milliseconds tickPeriod = kMqttTickPeriod;
  std::chrono::milliseconds cursorPeriod = kMqttCursorPeriod;
  std::chrono::milliseconds stopWait = kMqttStopWait;
  std::chrono::milliseconds outboxRetry = kMqttOutboxRetry;
  bool operator==(const MqttTimings&) const = default;
};

struct MqttSettings {
  MqttBroker broker;
  std::string topicPrefix;  // without a '/' at its end
  std::string clientId;
  std::string user;      // empty: none
  std::string password;  // the secret itself; empty: none
  std::string caFile;    // mqtts: the authority the broker's certificate is checked against;
                         // empty: the system's store
  std::string certFile;  // the client's own certificate and key; empty: none
  std::string keyFile;
  size_t window = kMqttWindow;
  uint64_t cursorRecords = kMqttCursorRecords;
  MqttTimings timings;
  bool operator==(const MqttSettings&) const = default;
};

// Reads "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" (a '/' at the end allowed). False with a
// one-line `error` for anything else, naming what is wrong (a user or password in the URL is
// refused: they belong in --mqtt-user and the password file).
bool ParseMqttUrl(std::string_view url, MqttBroker& broker, std::string& error);

// A topic prefix MQTT can publish under: not empty, no wildcard ('+', '#'), no NUL, no '/' at
// either end.
bool IsMqttTopicPrefix(std::string_view prefix);

// This machine's name, as the default topic and client id use it.
std::string LocalHostName();
std::string DefaultMqttTopicPrefix(const std::string& hostName);  // "tessamer/<host>"
std::string DefaultMqttClientId(const std::string& hostName);     // "tessamer-<host>"

// Reads the secret in `path`: the file's first line, without its line end. False with `error`
// (naming the file, never its content) when it cannot be read or holds nothing.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error);

}  // namespace tessamer
