#pragma once
// Who may read the status endpoint. Without a token (on loopback, or opened on purpose) everyone
// may. With one, every request must carry it: "Authorization: Bearer <token>", the session cookie
// the page got, or "?token=<token>" in its address; the answer to a request that carried it in
// its address sets the session cookie, so that a browser given the address once keeps the token
// for the page, its files and its event stream until it is closed. Tokens are compared in
// constant time and never written anywhere else.
//
// Threads: const after construction; from any thread.

#include <string>
#include <string_view>

#include "app/status/http_request.h"

namespace tessamer {

inline constexpr const char* kSessionCookieName = "tessamer_token";

class CStatusAccess {
 public:
  enum class Verdict {
    Open,            // no token asked
    Allowed,         // the token came in a header or the session cookie
    AllowedByQuery,  // the token came in the address: the answer sets the session cookie
    Refused,
  };

  // `token` empty: the endpoint is open.
  explicit CStatusAccess(std::string token = {}) : token(std::move(token)) {}

  Verdict Check(const HttpRequest& request) const;
  // The Set-Cookie value that hands the token to a browser for its session.
  std::string SessionCookie() const;

 private:
  std::string token;
};

// True when `a` and `b` are equal, in a time that depends on their lengths only.
bool SameSecret(std::string_view a, std::string_view b);

// Whether a token may be used as one: 1 to 512 characters of letters, digits and "-._~+/=" (what
// base64, base64url and hex give), which travel unchanged in a header, a cookie and an address.
bool IsTokenText(std::string_view text);

}  // namespace tessamer
