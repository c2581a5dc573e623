#include "app/status/http_response.h"

#include <cstdio>

namespace tessamer {

HttpResponse TextResponse(int status, std::string contentType, std::string body) {
  HttpResponse response;
  response.status = status;
  response.contentType = std::move(contentType);
  response.body = std::make_shared<const std::string>(std::move(body));
  response.headers = {{"Cache-Control", "no-store"}};
  return response;
}

HttpResponse EmptyResponse(int status) {
  HttpResponse response;
  response.status = status;
  return response;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

std::string ResponseHead(const HttpResponse& response, BodyEnd end, bool keepAlive) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) + "\r\n";
  if (!response.contentType.empty()) head += "Content-Type: " + response.contentType + "\r\n";
  if (end == BodyEnd::Length) head += "Content-Length: " + std::to_string(response.BodySize()) + "\r\n";
  if (end == BodyEnd::Chunked) head += "Transfer-Encoding: chunked\r\n";
  head += "X-Content-Type-Options: nosniff\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  head += keepAlive && end == BodyEnd::Length ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  return head;
}

std::string ChunkText(std::string_view text) {
  char size[20];
  const int length = std::snprintf(size, sizeof size, "%zx\r\n", text.size());
  std::string chunk(size, static_cast<size_t>(length));
  chunk.append(text);
  chunk += "\r\n";  // after the last, empty chunk: the end of the body
  return chunk;
}

}  // namespace tessamer
