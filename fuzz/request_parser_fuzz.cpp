// Arbitrary bytes from a client of the status endpoint through its request head parser, as a
// connection feeds it: in pieces (the first byte picks their size), a new request after each
// complete one. Every complete head is checked against the parser's promises and then read as
// the endpoint reads it (keep-alive, the query's token, the access check); every refusal must
// carry one of the statuses the parser documents, and every step must consume what it says.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/status/request_parser.h"
#include "app/status/status_access.h"

namespace {

using namespace tessamer;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckRequest(const HttpRequest& request, const CStatusAccess& access) {
  Check(!request.method.empty());
  Check(!request.path.empty() && request.path.front() == '/');
  Check(request.path.find('\0') == std::string::npos);
  Check(request.minorVersion == 0 || request.minorVersion == 1);
  Check(request.headers.size() <= kMaxHeaderFields);
  for (const auto& [name, value] : request.headers) {
    Check(!name.empty());
    Check(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    Check(value.find_first_of("\r\n") == std::string::npos);
  }
  request.KeepAlive();
  std::string token;
  if (QueryValue(request.query, "token", token)) Check(token.find('\0') == std::string::npos);
  access.Check(request);
}

bool IsDocumentedRefusal(int status) {
  return status == 400 || status == 413 || status == 414 || status == 431 || status == 505;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] < 128 ? 1 + data[0] % 64 : 4096;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const CStatusAccess access("fuzz-token");
  CRequestParser parser;
  size_t at = 0;
  while (at < stream.size()) {
    const std::string_view bytes = stream.substr(at, piece);
    size_t consumed = 0;
    const CRequestParser::Result result = parser.Feed(bytes, consumed);
    Check(consumed <= bytes.size());
    if (result == CRequestParser::Result::Bad) {
      Check(IsDocumentedRefusal(parser.Status()));
      return 0;  // the connection is closed after the refusal
    }
    if (result == CRequestParser::Result::Complete) {
      CheckRequest(parser.Request(), access);
      parser.Reset();
    } else {
      Check(consumed == bytes.size());  // an incomplete head takes everything it is given
    }
    at += consumed;
    Check(consumed > 0 || result == CRequestParser::Result::Complete);
  }
  return 0;
}
