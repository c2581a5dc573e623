#include "testkit/http_reply.h"

#include <cstdlib>
#include <functional>

namespace tessamer::testkit {

namespace {

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Fills `reply`'s status and fields from a head ending in an empty line.
bool ParseHead(const std::string& head, HttpReply& reply) {
  if (head.rfind("HTTP/1.1 ", 0) != 0) return false;
  reply.status = std::atoi(head.c_str() + 9);
  reply.headers.clear();
  for (size_t start = head.find("\r\n") + 2; start < head.size();) {
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    reply.headers[Lowered(line.substr(0, colon))] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  return reply.status > 0;
}

// Reads chunks into `body` up to the last, empty one.
bool ReadChunks(TextClient& client, std::string& body, const std::function<std::chrono::milliseconds()>& left) {
  for (;;) {
    std::string line;
    if (!client.ReadLine(line, left())) return false;
    char* end = nullptr;
    const unsigned long long size = std::strtoull(line.c_str(), &end, 16);
    if (end == line.c_str()) return false;
    std::string chunk;
    if (!client.ReadBytes(static_cast<size_t>(size) + 2, chunk, left()) || chunk.substr(size) != "\r\n") return false;
    if (size == 0) return true;
    body += chunk.substr(0, size);
  }
}

}  // namespace

bool ReadHttpReply(TextClient& client, HttpReply& reply, std::chrono::milliseconds timeout, bool headOnly) {
  reply = HttpReply{};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto left = [deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  };
  if (!client.ReceiveUntil([](const std::string& got) { return got.find("\r\n\r\n") != std::string::npos; },
                           left())) {
    return false;
  }
  const size_t headEnd = client.Buffered().find("\r\n\r\n") + 4;
  std::string head;
  if (!client.ReadBytes(headEnd, head, left()) || !ParseHead(head, reply)) return false;
  if (headOnly) return true;
  if (reply.Header("transfer-encoding") == "chunked") return ReadChunks(client, reply.body, left);
  const std::string length = reply.Header("content-length");
  if (length.empty()) return client.ReadToEnd(reply.body, left());
  return client.ReadBytes(static_cast<size_t>(std::atoll(length.c_str())), reply.body, left());
}

bool HttpGet(TextClient& client, const std::string& path, HttpReply& reply, const std::string& fields,
             const std::string& method) {
  reply = HttpReply{};
  if (!client.Send(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n")) return false;
  return ReadHttpReply(client, reply, 5s, method == "HEAD");
}

bool HttpGetOnce(uint16_t port, const std::string& path, HttpReply& reply, const std::string& fields) {
  TextClient client;
  return client.Connect("127.0.0.1", port) && HttpGet(client, path, reply, fields);
}

}  // namespace tessamer::testkit
