#pragma once
// Reads an HTTP/1.0 or 1.1 request head from bytes as they arrive, bounded in size: the request
// line, the header fields and the empty line that ends them. Leading empty lines are skipped.
// Lines may end in CR LF or LF alone. What follows the head (a pipelined request) is left to the
// caller.
//
// Refused with the status that says why: 400 (malformed line, a folded or nameless field, a
// target that is not a path, control bytes), 413 (a body: the endpoint takes none), 414 (request
// line longer than its bound), 431 (head longer than its bound or too many fields), 505 (another
// HTTP version). The method is only checked to be a token; which ones are served is the
// server's affair.
//
// Threads: one thread at a time.

#include <cstddef>
#include <string>
#include <string_view>

#include "app/status/http_request.h"

namespace tessamer {

inline constexpr size_t kMaxRequestHeadBytes = 8192;  // request line and fields together
inline constexpr size_t kMaxRequestLineBytes = 4096;
inline constexpr size_t kMaxHeaderFields = 64;

class CRequestParser {
 public:
  enum class Result { Complete, Incomplete, Bad };

  explicit CRequestParser(size_t maxHeadBytes = kMaxRequestHeadBytes);
  CRequestParser(const CRequestParser&) = delete;
  CRequestParser& operator=(const CRequestParser&) = delete;

  // Takes the next bytes of the stream. Complete: the head is whole and Request() holds it;
  // `consumed` bytes of `bytes` belonged to it, the rest is the next request's. Incomplete: all
  // of `bytes` was taken, more is needed. Bad: Status() says why; the connection is beyond use.
  Result Feed(std::string_view bytes, size_t& consumed);
  // True once a byte of a request (not a leading empty line) has been taken.
  bool Started() const { return started; }
  const HttpRequest& Request() const { return request; }
  int Status() const { return status; }  // of a Bad result
  // Ready for the next request on the same connection.
  void Reset();

 private:
  Result Fail(int why);
  Result ParseHead();
  bool ParseRequestLine(std::string_view line);
  bool ParseField(std::string_view line);

  const size_t maxHeadBytes;
  std::string head;        // the head's bytes so far, leading empty lines skipped
  size_t scanned = 0;      // bytes of `head` already searched for its end
  bool started = false;
  HttpRequest request;
  int status = 0;
};

}  // namespace tessamer
