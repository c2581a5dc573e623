#pragma once
// The topics and the JSON payloads the hub publishes (docs/mqtt.md describes them; they are an
// interface). Numbers of a record go out as the outbox holds them, so a value reads the same in
// the recording, on the data port and at the broker.
//
//   <prefix>/status  retained  {"state":"online","since":...,"version":...}; will {"state":"offline"}
//   <prefix>/header  retained  the header records after it follow
//   <prefix>/data              one message per record
//   <prefix>/health  retained  the /status document
//
// Threads: plain functions and values; any thread.

#include <string>
#include <string_view>
#include <vector>

#include "hub/core/health.h"
#include "mqtt/outbox.h"

namespace tessamer {

inline constexpr const char* kStatusTopic = "status";
inline constexpr const char* kHeaderTopic = "header";
inline constexpr const char* kDataTopic = "data";
inline constexpr const char* kHealthTopic = "health";

// "<prefix>/<name>".
std::string TopicOf(const std::string& prefix, const char* name);

std::string OnlinePayload(WallClock::time_point since, std::string_view version);
std::string OfflinePayload();
// {"run":R,"header":H,"time":...,"job_type":...,"channels":[{"name","unit","box"}...],
//  "boxes":[{"box","serial_number","firmware","job_type"}...]}
std::string HeaderPayload(const OutboxHeader& header);

// Makes the data payloads of the records that follow one header: the channels' names are
// written as JSON once, here, not once per record.
class CDataPayloads {
 public:
  explicit CDataPayloads(const OutboxHeader& header);
  // {"seq":N,"run":R,"header":H,"box_time":...,"received_at":...,"values":{"name":v,...}}: the
  // values paired with the header's channels in order; a value the header has no channel for is
  // left out.
  std::string Payload(const OutboxRecord& record) const;
  int64_t HeaderId() const { return headerId; }

 private:
  int64_t headerId = 0;
  std::vector<std::string> keys;  // "\"Pressure_0\":" in header order
};

}  // namespace tessamer
