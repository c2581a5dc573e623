#include "support/text.h"

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

}  // namespace tessamer
