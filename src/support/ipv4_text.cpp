#include "support/ipv4_text.h"

#include <charconv>

namespace tessamer {

std::optional<uint32_t> ParseIpv4(std::string_view text) {
  constexpr size_t kMaxPartDigits = 3;
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t end = part < 3 ? text.find('.') : text.size();
    if (end == std::string_view::npos || end == 0 || end > kMaxPartDigits) return std::nullopt;
    unsigned value = 0;
    const auto [last, failure] = std::from_chars(text.data(), text.data() + end, value);
    if (failure != std::errc{} || last != text.data() + end || value > 255) return std::nullopt;
    address = (address << 8) | value;
    text.remove_prefix(part < 3 ? end + 1 : end);
  }
  return address;
}

std::string Ipv4Text(uint32_t hostOrder) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) text += '.';
    text += std::to_string((hostOrder >> shift) & 0xFFu);
  }
  return text;
}

}  // namespace tessamer
