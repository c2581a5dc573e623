#include "app/status/record_json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/status/health_json.h"

namespace tessamer {

std::string BoxTimeText(const Data& data) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", data.time.tm_year + 1900, data.time.tm_mon + 1,
                data.time.tm_mday, data.time.tm_hour, data.time.tm_min, data.time.tm_sec);
  return text;
}

std::string RecordJson(const PublishedRecord& record, const std::vector<std::string>& names,
                       std::optional<uint64_t> seq) {
  using json = nlohmann::ordered_json;
  json values = json::object();
  const size_t count = std::min(names.size(), static_cast<size_t>(std::clamp(record.data.count, 0, MaxChannels)));
  for (size_t i = 0; i < count; ++i) {
    const double value = record.data.values[i];
    values[names[i]] = record.missing.test(i) || !std::isfinite(value) ? json(nullptr) : json(value);
  }
  const json whole = {{"seq", seq ? json(*seq) : json(nullptr)},
                      {"run", record.run},
                      {"time", BoxTimeText(record.data)},
                      {"received_at", IsoUtcTime(record.at)},
                      {"values", std::move(values)}};
  return whole.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tessamer
