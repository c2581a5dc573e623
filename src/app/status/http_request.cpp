#include "app/status/http_request.h"

namespace tessamer {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// Whether the comma-separated list `list` holds `token` (lower case), letter case aside.
bool ListHas(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (SameLetters(item, token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& field : headers) {
    if (field.first == name) return &field.second;
  }
  return nullptr;
}

bool HttpRequest::KeepAlive() const {
  const std::string* connection = Header("connection");
  if (minorVersion == 0) return connection != nullptr && ListHas(*connection, "keep-alive");
  return connection == nullptr || !ListHas(*connection, "close");
}

bool PercentDecode(std::string_view text, std::string& decoded) {
  decoded.clear();
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool QueryValue(std::string_view query, std::string_view name, std::string& value) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return PercentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), value);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

}  // namespace tessamer
