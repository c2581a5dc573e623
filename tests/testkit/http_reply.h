#pragma once
// HTTP/1.1 exchanges over the test kit's line client, for tests of the status endpoint that
// need to see its bytes: what was answered (status, fields, body) and whether the connection
// stayed open. Every wait is bounded.
//
// Threads: as TextClient.

#include <chrono>
#include <map>
#include <string>

#include "testkit/text_client.h"

namespace tessamer::testkit {

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// Reads one answer from `client`: its head, then Content-Length bytes of body, or its chunks up
// to the last (decoded into `body`), or, without either, everything until the server closes; the
// head alone for `headOnly` (the answer to a HEAD). False when it did not come whole within
// `timeout` (a chunked body broken off keeps the chunks that came).
bool ReadHttpReply(TextClient& client, HttpReply& reply, std::chrono::milliseconds timeout = 5s,
                   bool headOnly = false);

// Sends "GET `path` HTTP/1.1" with `fields` (each line ending in CR LF) and reads the answer.
bool HttpGet(TextClient& client, const std::string& path, HttpReply& reply, const std::string& fields = {},
             const std::string& method = "GET");

// Connects to 127.0.0.1:`port`, asks once and closes; false when nothing answered in time.
bool HttpGetOnce(uint16_t port, const std::string& path, HttpReply& reply, const std::string& fields = {});

}  // namespace tessamer::testkit
