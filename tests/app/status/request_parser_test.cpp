// The status endpoint's request head parser: heads in pieces and behind each other, and every
// head it must refuse with the status that says why.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/status/http_request.h"
#include "app/status/request_parser.h"

namespace tessamer {
namespace {

using Result = CRequestParser::Result;

// Feeds `text` whole; the parser's result and how much of the text it took.
Result FeedAll(CRequestParser& parser, std::string_view text, size_t& consumed) {
  return parser.Feed(text, consumed);
}

TEST(RequestParser, ReadsAHeadByteByByteAndLeavesTheNextRequest) {
  const std::string first =
      "\r\nGET /sta%74us?token=a%2Bb&x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long:  two  words \t\r\nConnection: close\r\n\r\n";
  const std::string second = "HEAD / HTTP/1.0\n\n";
  const std::string stream = first + second;
  CRequestParser parser;
  size_t at = 0;
  Result result = Result::Incomplete;
  while (result == Result::Incomplete && at < stream.size()) {
    size_t consumed = 0;
    result = parser.Feed(std::string_view(stream).substr(at, 1), consumed);
    at += consumed;
    if (at == 1) {
      EXPECT_FALSE(parser.Started());  // a leading empty line is no request yet
    }
  }
  ASSERT_EQ(result, Result::Complete);
  EXPECT_EQ(at, first.size());
  const HttpRequest& request = parser.Request();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/status");
  EXPECT_EQ(request.query, "token=a%2Bb&x");
  EXPECT_EQ(request.minorVersion, 1);
  ASSERT_NE(request.Header("x-long"), nullptr);
  EXPECT_EQ(*request.Header("x-long"), "two  words");
  EXPECT_FALSE(request.KeepAlive());
  std::string token;
  EXPECT_TRUE(QueryValue(request.query, "token", token));
  EXPECT_EQ(token, "a+b");
  EXPECT_FALSE(QueryValue(request.query, "missing", token));

  parser.Reset();
  size_t consumed = 0;
  ASSERT_EQ(FeedAll(parser, std::string_view(stream).substr(at), consumed), Result::Complete);
  EXPECT_EQ(consumed, second.size());
  EXPECT_EQ(parser.Request().method, "HEAD");
  EXPECT_EQ(parser.Request().minorVersion, 0);
  EXPECT_FALSE(parser.Request().KeepAlive());  // HTTP/1.0 keeps only when asked
}

TEST(RequestParser, KeepsAliveAsTheVersionAndTheConnectionFieldSay) {
  const auto keeps = [](const std::string& head) {
    CRequestParser parser;
    size_t consumed = 0;
    EXPECT_EQ(parser.Feed(head, consumed), Result::Complete) << head;
    return parser.Request().KeepAlive();
  };
  EXPECT_TRUE(keeps("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(keeps("GET / HTTP/1.1\r\nConnection: Upgrade, CLOSE\r\n\r\n"));
  EXPECT_FALSE(keeps("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(keeps("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
}

TEST(RequestParser, RefusesWhatItCannotTakeWithTheStatusThatSaysWhy) {
  struct Case {
    std::string head;
    int status;
  };
  std::string manyFields = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= kMaxHeaderFields; ++i) manyFields += "X-" + std::to_string(i) + ": 1\r\n";
  const std::vector<Case> cases = {
      {"GET /\r\n\r\n", 400},                                     // no version
      {"GET  / HTTP/1.1\r\n\r\n", 400},                           // two blanks
      {"GET status HTTP/1.1\r\n\r\n", 400},                       // not a path
      {"GET http://a/ HTTP/1.1\r\n\r\n", 400},                    // not a path either
      {"G(T / HTTP/1.1\r\n\r\n", 400},                            // a method that is no token
      {"GET /a%zz HTTP/1.1\r\n\r\n", 400},                        // a broken escape
      {"GET /a%00 HTTP/1.1\r\n\r\n", 400},                        // a NUL in the path
      {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400},      // a folded field
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", 400},                 // a bare CR
      {"GET / HTTP/1.1\r\nX: a\x01\r\n\r\n", 400},                // a control byte
      {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 413},       // a body
      {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 413},
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET / HTTP/1.2\r\n\r\n", 505},
      {"GET / " + std::string(kMaxRequestLineBytes, 'a'), 414},  // a request line without end
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestHeadBytes, 'a'), 431},
      {manyFields + "\r\n", 431},
  };
  for (const Case& c : cases) {
    CRequestParser parser;
    size_t consumed = 0;
    EXPECT_EQ(parser.Feed(c.head, consumed), Result::Bad) << c.head.substr(0, 60);
    EXPECT_EQ(parser.Status(), c.status) << c.head.substr(0, 60);
  }
  // "Content-Length: 0" is no body.
  CRequestParser parser;
  size_t consumed = 0;
  EXPECT_EQ(parser.Feed("GET / HTTP/1.1\r\nContent-Length: 00\r\n\r\n", consumed), Result::Complete);
}

}  // namespace
}  // namespace tessamer
