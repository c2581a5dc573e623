#include "support/line_fields.h"

#include <cstdint>

namespace tessamer {

std::string QuotedField(std::string text) {
  for (char& c : text) {
    if (c == '"') c = '\'';
    if (c == '\r' || c == '\n') c = ' ';
  }
  return "\"" + text + "\"";
}

std::string SecondsText(std::chrono::milliseconds wait) {
  const int64_t ms = wait.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 == 0) return text;
  std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
  while (fraction.back() == '0') fraction.pop_back();
  return text + "." + fraction;
}

}  // namespace tessamer
