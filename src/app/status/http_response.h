#pragma once
// An answer of the status endpoint: status, content type, body and extra header fields, and the
// head text the server writes before the body.
//
// Threads: plain records and functions.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessamer {

struct HttpResponse {
  int status = 200;
  std::string contentType;  // empty: no Content-Type field (an answer without a body)
  std::shared_ptr<const std::string> body;  // shared, never changed; null: empty
  std::vector<std::pair<std::string, std::string>> headers;  // further fields, written as given

  size_t BodySize() const { return body ? body->size() : 0; }
};

// A response with `body` of `contentType`, marked not to be kept by caches.
HttpResponse TextResponse(int status, std::string contentType, std::string body);
// A response without a body (404, 405, ...).
HttpResponse EmptyResponse(int status);

// "OK", "Not Found", ...; "Unknown" for a status not used here.
const char* ReasonPhrase(int status);

// How a response head ends its message.
enum class BodyEnd {
  Length,  // Content-Length of the body; the connection may carry the next request
  Close,   // the body runs until the server closes the connection (an event stream)
  Chunked,  // chunks (ChunkText), the last one empty; the connection closes after it. A body
            // broken off before its last chunk is seen as incomplete by the client
};

// One chunk of a chunked body: its size in hex, the text; an empty text is the last chunk.
std::string ChunkText(std::string_view text);

// The status line and fields of `response`, with "Connection: keep-alive" or "close", and the
// empty line that ends the head.
std::string ResponseHead(const HttpResponse& response, BodyEnd end, bool keepAlive);

}  // namespace tessamer
