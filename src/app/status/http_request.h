#pragma once
// One HTTP/1.x request head as the status endpoint's parser reads it (request_parser.h): the
// method, the target split into its path and query, the version and the header fields. The
// endpoint takes no request bodies, so a request is its head alone.
//
// Threads: a plain record.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessamer {

struct HttpRequest {
  std::string method;  // as sent: "GET", "HEAD", ...
  std::string path;    // the target before '?', percent-decoded ("/status")
  std::string query;   // the target after '?', as sent (still encoded); empty for none
  int minorVersion = 1;  // HTTP/1.<minorVersion>: 0 or 1
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased, in order

  // The value of the first field named `name` (lower case); null when there is none.
  const std::string* Header(std::string_view name) const;
  // Whether the client wants the connection kept after the answer: HTTP/1.1 unless it says
  // "Connection: close", HTTP/1.0 only when it says "Connection: keep-alive".
  bool KeepAlive() const;
};

// The percent-decoded value of `name` in a query ("a=1&token=x%2By"); false when it is not there.
// A value that does not decode ("%zz") counts as absent.
bool QueryValue(std::string_view query, std::string_view name, std::string& value);

// `text` with every "%XX" replaced by its byte; false when an escape is malformed or decodes to
// a NUL byte.
bool PercentDecode(std::string_view text, std::string& decoded);

}  // namespace tessamer
