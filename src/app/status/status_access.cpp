#include "app/status/status_access.h"

#include <algorithm>
#include <cstring>

namespace tessamer {
namespace {

constexpr size_t kMaxTokenChars = 512;
constexpr std::string_view kBearer = "bearer ";

// The session cookie's value among the request's "Cookie" fields; empty when it has none.
std::string_view CookieValue(const HttpRequest& request) {
  for (const auto& [name, value] : request.headers) {
    if (name != "cookie") continue;
    std::string_view rest(value);
    while (!rest.empty()) {
      const size_t semicolon = rest.find(';');
      std::string_view pair = rest.substr(0, semicolon);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      const size_t equals = pair.find('=');
      if (equals != std::string_view::npos && pair.substr(0, equals) == kSessionCookieName) {
        return pair.substr(equals + 1);
      }
      if (semicolon == std::string_view::npos) break;
      rest.remove_prefix(semicolon + 1);
    }
  }
  return {};
}

// The token of an "Authorization: Bearer <token>" field; empty when there is none.
std::string_view BearerToken(const HttpRequest& request) {
  const std::string* field = request.Header("authorization");
  if (field == nullptr || field->size() <= kBearer.size()) return {};
  for (size_t i = 0; i < kBearer.size(); ++i) {
    const char c = (*field)[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kBearer[i]) return {};
  }
  return std::string_view(*field).substr(kBearer.size());
}

}  // namespace

bool SameSecret(std::string_view a, std::string_view b) {
  const size_t length = std::max(a.size(), b.size());
  unsigned difference = a.size() == b.size() ? 0u : 1u;
  for (size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    difference |= static_cast<unsigned>(x ^ y);
  }
  return difference == 0;
}

bool IsTokenText(std::string_view text) {
  if (text.empty() || text.size() > kMaxTokenChars) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~+/=", c) != nullptr);
  });
}

CStatusAccess::Verdict CStatusAccess::Check(const HttpRequest& request) const {
  if (token.empty()) return Verdict::Open;
  const std::string_view bearer = BearerToken(request);
  if (!bearer.empty() && SameSecret(bearer, token)) return Verdict::Allowed;
  const std::string_view cookie = CookieValue(request);
  if (!cookie.empty() && SameSecret(cookie, token)) return Verdict::Allowed;
  std::string query;
  if (QueryValue(request.query, "token", query) && SameSecret(query, token)) return Verdict::AllowedByQuery;
  return Verdict::Refused;
}

std::string CStatusAccess::SessionCookie() const {
  return std::string(kSessionCookieName) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace tessamer
