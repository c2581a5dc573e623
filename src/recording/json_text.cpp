#include "recording/json_text.h"

#include <algorithm>
#include <cmath>

#include "support/number_text.h"

namespace tessamer {

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string ValuesJson(const Data& data, const std::bitset<MaxChannels>& missing) {
  const int count = std::clamp(data.count, 0, MaxChannels);
  std::string json;
  json.reserve(2 + static_cast<size_t>(count) * 12);
  json += '[';
  for (int i = 0; i < count; ++i) {
    if (i > 0) json += ',';
    const double value = data.values[i];
    if (missing[static_cast<size_t>(i)] || !std::isfinite(value)) {
      json += "null";
    } else {
      AppendFixed(json, value, 4);
    }
  }
  json += ']';
  return json;
}

}  // namespace tessamer
