#include "support/text.h"

#include <cstdint>

namespace tessamer {

std::wstring Widen(std::string_view narrow) {
  std::wstring wide;
  wide.reserve(narrow.size());
  for (char c : narrow) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  std::string narrow;
  narrow.reserve(wide.size());
  for (wchar_t c : wide) {
    const auto code = static_cast<unsigned long>(c);
    narrow.push_back(code > 0xFF ? '?' : static_cast<char>(code));
  }
  return narrow;
}

std::string Utf8(std::wstring_view wide) {
  std::string text;
  text.reserve(wide.size());
  for (wchar_t c : wide) {
    auto code = static_cast<uint32_t>(c);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
      text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (code >> 6)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (code >> 12)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (code >> 18)));
      text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return text;
}

}  // namespace tessamer
