#include "mqtt/mqtt_payloads.h"

#include <nlohmann/json.hpp>

#include "support/number_text.h"
#include "support/utc_text.h"

namespace tessamer {
namespace {

using json = nlohmann::ordered_json;  // fields in the order written here

// JSON text of a string; bytes that are not UTF-8 become U+FFFD.
std::string JsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool Digits(std::string_view text, size_t& at) {
  const size_t from = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at > from;
}

// A JSON number as its grammar has it: -?digits(.digits)?([eE][+-]?digits)?
bool IsJsonNumber(std::string_view text) {
  size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
  if (!Digits(text, at)) return false;
  if (at < text.size() && text[at] == '.' && !Digits(text, ++at)) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    if (++at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (!Digits(text, at)) return false;
  }
  return at == text.size();
}

// Calls `take` with each element of a flat JSON array of numbers and nulls, as written.
template <typename Take>
void ForEachValue(std::string_view array, Take take) {
  array = Trimmed(array);
  if (array.size() < 2 || array.front() != '[' || array.back() != ']') return;
  array = array.substr(1, array.size() - 2);
  if (Trimmed(array).empty()) return;
  for (size_t start = 0;;) {
    const size_t comma = array.find(',', start);
    if (!take(Trimmed(array.substr(start, comma - start)))) return;
    if (comma == std::string_view::npos) return;
    start = comma + 1;
  }
}

void AppendQuoted(std::string& out, const char* key, const std::string& text) {
  out += '"';
  out += key;
  out += "\":";
  out += JsonText(text);
}

void AppendNumber(std::string& out, const char* key, int64_t value) {
  out += '"';
  out += key;
  out += "\":";
  AppendInt(out, value);
}

}  // namespace

std::string TopicOf(const std::string& prefix, const char* name) { return prefix + "/" + name; }

std::string OnlinePayload(WallClock::time_point since, std::string_view version) {
  return JsonText(json{{"state", "online"}, {"since", UtcIsoText(since)},
                       {"version", std::string(version)}});
}

std::string OfflinePayload() { return R"({"state":"offline"})"; }

std::string HeaderPayload(const OutboxHeader& header) {
  json channels = json::array();
  for (const ChannelSource& channel : header.channels) {
    channels.push_back({{"name", channel.name}, {"unit", channel.unit}, {"box", channel.box}});
  }
  json boxes = json::array();
  for (const BoxFacts& box : header.boxes) {
    boxes.push_back({{"box", box.box}, {"serial_number", box.serialNumber},
                     {"firmware", box.firmware}, {"job_type", box.jobType}});
  }
  const json jobType = header.boxes.empty() ? json(nullptr) : json(header.boxes.front().jobType);
  return JsonText(json{{"run", header.run}, {"header", header.headerId}, {"time", header.time},
                       {"job_type", jobType}, {"channels", channels}, {"boxes", boxes}});
}

CDataPayloads::CDataPayloads(const OutboxHeader& header) : headerId(header.headerId) {
  keys.reserve(header.channels.size());
  for (const ChannelSource& channel : header.channels) keys.push_back(JsonText(channel.name) + ":");
}

std::string CDataPayloads::Payload(const OutboxRecord& record) const {
  std::string out;
  out.reserve(128 + record.values.size() + keys.size() * 16);
  out += '{';
  AppendNumber(out, "seq", static_cast<int64_t>(record.seq));
  out += ',';
  AppendNumber(out, "run", record.run);
  out += ',';
  AppendNumber(out, "header", record.headerId);
  out += ',';
  AppendQuoted(out, "box_time", record.boxTime);
  out += ',';
  AppendQuoted(out, "received_at", record.receivedAt);
  out += R"(,"values":{)";
  size_t index = 0;
  ForEachValue(record.values, [&](std::string_view value) {
    if (index >= keys.size()) return false;
    if (index > 0) out += ',';
    out += keys[index++];
    out += IsJsonNumber(value) ? value : std::string_view("null");  // null, or not a number
    return true;
  });
  out += "}}";
  return out;
}

}  // namespace tessamer
