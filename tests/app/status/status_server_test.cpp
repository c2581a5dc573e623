// The status endpoint's server: its routes, keep-alive and its bound, the deadlines that keep
// idle and trickling clients from holding it, room made among idle connections, a stop that
// waits for no client, the port claimed alone, and accepting again after running out of
// descriptors.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio.hpp>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>


#include "app/sample_health.h"
#include "testkit/fake_hub.h"
#include "app/status/health_json.h"
#include "app/status/hub_with_status.h"
#include "app/status/page_assets.h"
#include "app/status/status_access.h"
#include "app/status/status_server.h"
#include "testkit/descriptor_shortage.h"
#include "testkit/http_reply.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using nlohmann::json;
using testkit::HttpGet;
using testkit::HttpGetOnce;
using testkit::HttpReply;
using testkit::TextClient;
using namespace std::chrono_literals;

StatusEndpoint Loopback(HttpServerSettings http = {}) {
  StatusEndpoint endpoint;
  endpoint.address = "127.0.0.1";
  endpoint.http = http;
  return endpoint;
}

// A fake hub served by a status endpoint; the fake stays reachable through `fake`.
struct ServedHub {
  testkit::FakeHub* fake = nullptr;
  std::unique_ptr<CHubWithStatus> hub;

  explicit ServedHub(StatusEndpoint endpoint = Loopback()) {
    auto made = std::make_unique<testkit::FakeHub>();
    fake = made.get();
    fake->script.health = apptest::PopulatedHealth();
    hub = std::make_unique<CHubWithStatus>(std::move(made), std::move(endpoint));
  }
  uint16_t Port() const { return hub->StatusPort(); }
  const HttpServerCounters& Counters() const { return hub->StatusCounters(); }
};

// Waits, with a bound, until `done` holds; the endpoint's counters change on its own thread.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(StatusServer, AnswersStatusMetricsAndHeadAndRefusesOtherMethodsAndPaths) {
  ServedHub served;
  ASSERT_TRUE(served.hub->StartServers());
  EXPECT_EQ(served.fake->calls->startServers, 1);
  ASSERT_GT(served.Port(), 0);

  TextClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", served.Port()));
  HttpReply reply;
  ASSERT_TRUE(HttpGet(client, "/status", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("content-type"), "application/json");
  EXPECT_EQ(reply.Header("connection"), "keep-alive");
  EXPECT_EQ(json::parse(reply.body), json::parse(HealthJson(served.fake->script.health)));
  // The same connection: the metrics, then a HEAD whose answer has no body, then the status again.
  ASSERT_TRUE(HttpGet(client, "/metrics", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_THAT(reply.Header("content-type"), StartsWith("text/plain; version=0.0.4"));
  EXPECT_THAT(reply.body, HasSubstr("\ntessamer_run_active 1\n"));
  EXPECT_THAT(reply.body, HasSubstr("\ntessamer_build_info{version=\""));
  EXPECT_THAT(reply.body, HasSubstr("\ntessamer_status_connections 1\n"));
  ASSERT_TRUE(HttpGet(client, "/status", reply, "", "HEAD"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_GT(std::stoul(reply.Header("content-length")), 100u);
  ASSERT_TRUE(HttpGet(client, "/status", reply));
  EXPECT_EQ(reply.status, 200);

  for (const char* path : {"/status/", "/metrics.txt", "/favicon.ico", "/Status", "/records"}) {
    ASSERT_TRUE(HttpGet(client, path, reply)) << path;
    EXPECT_EQ(reply.status, 404) << path;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    ASSERT_TRUE(HttpGet(client, "/status", reply, "", method)) << method;
    EXPECT_EQ(reply.status, 405) << method;
    EXPECT_EQ(reply.Header("allow"), "GET, HEAD");
  }
}

TEST(StatusServer, AnswersPipelinedRequestsInOrderAndClosesAfterTheLastItCarries) {
  HttpServerSettings http;
  http.maxRequestsPerConnection = 3;
  ServedHub served(Loopback(http));
  ASSERT_TRUE(served.hub->StartServers());
  TextClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", served.Port()));
  const std::string get = "GET /status HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(client.Send(get + "GET /nothing HTTP/1.1\r\n\r\n" + get + get));
  const std::vector<std::pair<int, std::string>> expected = {{200, "keep-alive"}, {404, "keep-alive"}, {200, "close"}};
  for (const auto& [status, connection] : expected) {
    HttpReply reply;
    ASSERT_TRUE(testkit::ReadHttpReply(client, reply));
    EXPECT_EQ(reply.status, status);
    EXPECT_EQ(reply.Header("connection"), connection);
  }
  EXPECT_TRUE(client.WaitClosed());  // the fourth request is not answered

  // A bad head is answered with its status, then the connection closes; so does HTTP/1.0.
  for (const std::string& head : {std::string("GET / HTTP/3.0\r\n\r\n"), std::string("GET /status HTTP/1.0\r\n\r\n")}) {
    TextClient other;
    ASSERT_TRUE(other.Connect("127.0.0.1", served.Port()));
    ASSERT_TRUE(other.Send(head));
    HttpReply reply;
    ASSERT_TRUE(testkit::ReadHttpReply(other, reply));
    EXPECT_EQ(reply.status, head.find("3.0") != std::string::npos ? 505 : 200);
    EXPECT_EQ(reply.Header("connection"), "close");
    EXPECT_TRUE(other.WaitClosed());
  }
}

TEST(StatusServer, ClosesIdleAndTricklingClientsAtTheirDeadlinesWhileOthersAreAnswered) {
  HttpServerSettings http;
  http.headDeadline = 200ms;
  http.idleDeadline = 300ms;
  ServedHub served(Loopback(http));
  ASSERT_TRUE(served.hub->StartServers());

  TextClient silent;  // connects and says nothing
  ASSERT_TRUE(silent.Connect("127.0.0.1", served.Port()));
  TextClient kept;  // one request, then nothing
  ASSERT_TRUE(kept.Connect("127.0.0.1", served.Port()));
  HttpReply reply;
  ASSERT_TRUE(HttpGet(kept, "/status", reply));
  TextClient trickling;  // a head that never ends, a byte at a time
  ASSERT_TRUE(trickling.Connect("127.0.0.1", served.Port()));
  ASSERT_TRUE(trickling.Send("GET /status HTTP/1.1\r\nX-Slow: "));
  bool closed = false;
  int answered = 0;
  for (int i = 0; i < 200 && !closed; ++i) {
    ASSERT_TRUE(HttpGetOnce(served.Port(), "/status", reply));  // others are answered meanwhile
    answered += reply.status == 200 ? 1 : 0;
    trickling.Send("a");
    closed = trickling.WaitClosed(20ms);  // the pause between the trickle's bytes
  }
  EXPECT_TRUE(closed) << "a trickling head outlived its deadline";
  EXPECT_GT(answered, 0);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(kept.WaitClosed());
  EXPECT_TRUE(Eventually([&] { return served.Counters().timedOut.load() >= 3; }));
}

TEST(StatusServer, MakesRoomByClosingTheOldestIdleConnection) {
  HttpServerSettings http;
  http.maxConnections = 3;
  ServedHub served(Loopback(http));
  ASSERT_TRUE(served.hub->StartServers());
  std::vector<std::unique_ptr<TextClient>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<TextClient>());
    ASSERT_TRUE(idle.back()->Connect("127.0.0.1", served.Port()));
    ASSERT_TRUE(Eventually([&] { return served.Counters().connections.load() == static_cast<uint64_t>(i + 1); }));
  }
  HttpReply reply;
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/status", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(idle.front()->WaitClosed());  // the oldest made room
  EXPECT_EQ(served.Counters().evicted.load(), 1u);
  EXPECT_EQ(served.Counters().refused.load(), 0u);
}

TEST(StatusServer, StopsAtOnceWhateverItsClientsAreDoing) {
  HttpServerSettings http;
  http.headDeadline = 60s;  // a stop that waited for these clients would not come back
  http.idleDeadline = 60s;
  ServedHub served(Loopback(http));
  ASSERT_TRUE(served.hub->StartServers());
  TextClient trickling;
  ASSERT_TRUE(trickling.Connect("127.0.0.1", served.Port()));
  ASSERT_TRUE(trickling.Send("GET /status HTTP/1.1\r\nX-Slow: a"));
  TextClient kept;
  ASSERT_TRUE(kept.Connect("127.0.0.1", served.Port()));
  HttpReply reply;
  ASSERT_TRUE(HttpGet(kept, "/status", reply));
  ASSERT_TRUE(Eventually([&] { return served.Counters().connections.load() == 2; }));
  auto stopped = std::async(std::launch::async, [&served] { served.hub.reset(); });
  ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready) << "the stop waited for a client";
  EXPECT_TRUE(trickling.WaitClosed());
  EXPECT_TRUE(kept.WaitClosed());
}

TEST(StatusServer, ClaimsItsPortAloneAndSaysWhyWhenTaken) {
  ServedHub first;
  ASSERT_TRUE(first.hub->StartServers());
  StatusEndpoint same = Loopback();
  same.port = first.Port();
  ServedHub second(same);
  EXPECT_FALSE(second.hub->StartServers());
  EXPECT_EQ(second.fake->calls->startServers, 0);  // the data server does not start either
  EXPECT_EQ(second.Port(), 0);
  const std::wstring port = std::to_wstring(first.Port());
  const std::wstring reason = second.hub->StartError().text;
  EXPECT_EQ(reason.find(L"The status endpoint cannot listen on 127.0.0.1:" + port + L": "), 0u) << reason;
  EXPECT_EQ(reason.find(L'\n'), std::wstring::npos);
  HttpReply reply;  // the first one still answers every request alone
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(HttpGetOnce(first.Port(), "/status", reply));
    EXPECT_EQ(reply.status, 200);
  }
  EXPECT_EQ(first.Counters().accepted.load(), 4u);
}

TEST(StatusServer, ListensOnLoopbackOnlyUnlessToldOtherwise) {
  asio::io_context context;
  const auto answers = [&context](const char* address, uint16_t port) {
    asio::ip::tcp::socket socket(context);
    asio::error_code error;
    socket.connect({asio::ip::make_address(address), port}, error);
    return !error;
  };
  ServedHub loopback;
  ASSERT_TRUE(loopback.hub->StartServers());
  EXPECT_TRUE(answers("127.0.0.1", loopback.Port()));
  EXPECT_FALSE(answers("127.0.0.2", loopback.Port()));  // bound to 127.0.0.1, not to every address
  StatusEndpoint other = Loopback();
  other.address = "127.0.0.3";
  ServedHub named(other);
  ASSERT_TRUE(named.hub->StartServers());
  EXPECT_TRUE(answers("127.0.0.3", named.Port()));
  EXPECT_FALSE(answers("127.0.0.1", named.Port()));
}

TEST(StatusServer, ServesThePageAndItsFilesEmbeddedWithTheirTypes) {
  ServedHub served;
  ASSERT_TRUE(served.hub->StartServers());
  TextClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", served.Port()));
  const std::map<std::string, std::string> types = {{"/", "text/html; charset=utf-8"},
                                                    {"/page.css", "text/css; charset=utf-8"},
                                                    {"/page.js", "text/javascript; charset=utf-8"},
                                                    {"/chart.js", "text/javascript; charset=utf-8"}};
  ASSERT_EQ(PageAssets().size(), types.size());
  for (const PageAsset& asset : PageAssets()) {
    HttpReply reply;
    ASSERT_TRUE(HttpGet(client, asset.path, reply)) << asset.path;
    EXPECT_EQ(reply.status, 200) << asset.path;
    EXPECT_EQ(reply.Header("content-type"), types.at(asset.path)) << asset.path;
    EXPECT_EQ(reply.body, asset.bytes) << asset.path;
    EXPECT_GT(reply.body.size(), 1000u) << asset.path;  // the file itself, not a stand-in
    EXPECT_THAT(reply.Header("content-security-policy"), HasSubstr("default-src 'self'"));
    EXPECT_EQ(reply.Header("x-content-type-options"), "nosniff");
  }
  HttpReply page;
  ASSERT_TRUE(HttpGet(client, "/", page));
  for (const char* file : {"\"page.css\"", "\"chart.js\"", "\"page.js\""}) EXPECT_THAT(page.body, HasSubstr(file));
  HttpReply chart;
  ASSERT_TRUE(HttpGet(client, "/chart.js", chart));
  EXPECT_THAT(chart.body, HasSubstr("Chart.js v3"));
}

TEST(StatusServer, AsksForTheTokenOnEveryPathAndHandsItToABrowserOnce) {
  StatusEndpoint guarded = Loopback();
  guarded.token = "s3cret-Token_1";
  ServedHub served(guarded);
  ASSERT_TRUE(served.hub->StartServers());
  HttpReply reply;
  for (const char* path : {"/", "/page.js", "/chart.js", "/status", "/metrics", "/events", "/nothing"}) {
    for (const std::string& fields : {std::string(), std::string("Authorization: Bearer s3cret-Token_\r\n"),
                                      std::string("Authorization: Bearer s3cret-Token_12\r\n"),
                                      std::string("Authorization: Basic s3cret-Token_1\r\n"),
                                      std::string("Cookie: tessamer_token=S3CRET-TOKEN_1\r\n")}) {
      ASSERT_TRUE(HttpGetOnce(served.Port(), path, reply, fields)) << path;
      EXPECT_EQ(reply.status, 401) << path << " " << fields;
      EXPECT_EQ(reply.Header("www-authenticate"), "Bearer realm=\"tessamer\"");
      EXPECT_EQ(reply.body, "");
      EXPECT_EQ(reply.Header("set-cookie"), "");
    }
    ASSERT_TRUE(HttpGetOnce(served.Port(), std::string(path) + "?token=wrong", reply));
    EXPECT_EQ(reply.status, 401) << path;
  }
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/status", reply, "Authorization: bearer s3cret-Token_1\r\n"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("set-cookie"), "");
  // Given in the page's address once, the token comes back as the session's cookie ...
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/?view=all&token=s3cret%2DToken_1", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("set-cookie"), "tessamer_token=s3cret-Token_1; Path=/; HttpOnly; SameSite=Strict");
  // ... which then opens every path, the event stream included.
  const std::string cookie = "Cookie: theme=dark; tessamer_token=s3cret-Token_1\r\n";
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/metrics", reply, cookie));
  EXPECT_EQ(reply.status, 200);
  TextClient events;
  ASSERT_TRUE(events.Connect("127.0.0.1", served.Port()));
  ASSERT_TRUE(events.Send("GET /events HTTP/1.1\r\n" + cookie + "\r\n"));
  ASSERT_TRUE(testkit::ReadHttpReply(events, reply, 5s, true));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("content-type"), "text/event-stream; charset=utf-8");

  EXPECT_TRUE(SameSecret("abc", "abc"));
  EXPECT_FALSE(SameSecret("abc", "abd"));
  EXPECT_FALSE(SameSecret("abc", "abcd"));
  EXPECT_FALSE(SameSecret("", "a"));
}

TEST(StatusServer, AcceptsAgainAfterRunningOutOfDescriptors) {
  HttpServerSettings http;
  http.acceptRetry = 20ms;
  ServedHub served(Loopback(http));
  ASSERT_TRUE(served.hub->StartServers());
  TextClient client;  // its own descriptors (the context's) made now
  bool connected = false, failed = false;
  {
    testkit::DescriptorShortage shortage;
    if (!shortage.Active()) GTEST_SKIP() << "descriptors cannot be used up here";
    shortage.FreeOne();  // the client's socket, and no more
    connected = client.Connect("127.0.0.1", served.Port()) && client.Send("GET /status HTTP/1.1\r\n\r\n");
    failed = connected && Eventually([&] { return served.Counters().acceptFailures.load() >= 2; });
  }
  ASSERT_TRUE(connected);
  ASSERT_TRUE(failed) << "the accept did not fail for want of descriptors";
  HttpReply reply;
  ASSERT_TRUE(testkit::ReadHttpReply(client, reply));  // taken once descriptors are there again
  EXPECT_EQ(reply.status, 200);
}

// A long answer made off the server's thread, as /records is: `chunks` chunks of `size` bytes
// ("a", "b", ...), or 400 for a query it cannot take; `fail=1` breaks the body off after the
// first chunk. It counts the chunks the client took room for and says when it has returned.
struct ProducedLines {
  std::atomic<int> written{0};
  std::promise<bool> finished;  // what the producer's last write gave

  ProducedRoute Route() {
    return [this](std::string_view query) {
      std::string value;
      if (!QueryValue(query, "chunks", value)) return ProducedAnswer{400, "text/plain; charset=utf-8", nullptr};
      const int chunks = std::stoi(value);
      const size_t size = QueryValue(query, "size", value) ? std::stoul(value) : 5;
      const bool fail = QueryValue(query, "fail", value);
      ProducedAnswer answer{200, "application/x-ndjson", nullptr};
      answer.produce = [this, chunks, size, fail](const ChunkWriter& write) {
        bool open = true;
        for (int i = 0; i < chunks && open; ++i) {
          open = write(std::string(size, static_cast<char>('a' + i % 26)));
          if (open) ++written;
          if (fail) break;
        }
        finished.set_value(open);
        return !fail;
      };
      return answer;
    };
  }
};

TEST(StatusServer, ProducesLongAnswersOffItsThreadPacedByTheClient) {
#if defined(_WIN32)
  // Long answers come only from the job recording, which the Windows build does not have; under
  // Wine the stop does not wake a producer that waits for the client (to be looked into there).
  GTEST_SKIP() << "no long answers in a build without the recording";
#endif
  HttpServerSettings http;
  http.streamQueueBytes = 64 * 1024;  // paced: at most half of it unsent
  http.writeDeadline = 2s;
  StatusEndpoint endpoint = Loopback(http);
  ProducedLines lines;
  endpoint.produced["/records"] = lines.Route();
  ServedHub served(endpoint);
  ASSERT_TRUE(served.hub->StartServers());

  HttpReply reply;
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/records?chunks=3", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Header("content-type"), "application/x-ndjson");
  EXPECT_EQ(reply.Header("transfer-encoding"), "chunked");
  EXPECT_EQ(reply.body, "aaaaabbbbbccccc");
  EXPECT_TRUE(lines.finished.get_future().get());
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/records?from=x", reply));
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body, "");
  TextClient head;
  ASSERT_TRUE(head.Connect("127.0.0.1", served.Port()));
  ASSERT_TRUE(HttpGet(head, "/records?chunks=1", reply, "", "HEAD"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(head.WaitClosed());

  // Broken off after its first chunk: the client sees the body end before the last chunk.
  lines.finished = {};
  auto brokenOff = lines.finished.get_future();
  EXPECT_FALSE(HttpGetOnce(served.Port(), "/records?chunks=3&fail=1", reply));
  EXPECT_EQ(reply.body, "aaaaa");
  // The client may see the end before the producer has returned: its promise is not touched
  // again until it has.
  ASSERT_EQ(brokenOff.wait_for(10s), std::future_status::ready);

  // A client that does not read holds the producer back, not the server: 32 MiB asked in 32 KiB
  // chunks (more than the sockets' buffers hold); the producer waits with at most 32 KiB unsent
  // while /status is answered at once.
  lines.finished = {};
  lines.written = 0;
  TextClient slow;
  ASSERT_TRUE(slow.Connect("127.0.0.1", served.Port(), 5s, 4096));
  ASSERT_TRUE(slow.Send("GET /records?chunks=1024&size=32768 HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(Eventually([&] { return lines.written.load() > 0; }));
  ASSERT_TRUE(HttpGetOnce(served.Port(), "/status", reply));
  EXPECT_EQ(reply.status, 200);
  EXPECT_LT(lines.written.load(), 1024);
  // Read at the client's pace, the whole body comes, in order.
  ASSERT_TRUE(testkit::ReadHttpReply(slow, reply, 20s));
  ASSERT_EQ(reply.body.size(), 1024u * 32768u);
  EXPECT_EQ(reply.body.substr(27 * 32768, 3), "bbb");
  EXPECT_TRUE(lines.finished.get_future().get());

  // A client that stops reading is dropped at the write deadline, and the producer stops.
  lines.finished = {};
  TextClient stuck;
  ASSERT_TRUE(stuck.Connect("127.0.0.1", served.Port(), 5s, 4096));
  ASSERT_TRUE(stuck.Send("GET /records?chunks=100000&size=32768 HTTP/1.1\r\n\r\n"));
  auto stopped = lines.finished.get_future();
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(stopped.get());

  // A stop while a producer waits for room comes back at once.
  lines.finished = {};
  TextClient held;
  ASSERT_TRUE(held.Connect("127.0.0.1", served.Port(), 5s, 4096));
  ASSERT_TRUE(held.Send("GET /records?chunks=100000&size=32768 HTTP/1.1\r\n\r\n"));
  const int before = lines.written.load();
  ASSERT_TRUE(Eventually([&] { return lines.written.load() > before; }));
  auto ended = std::async(std::launch::async, [&served] { served.hub.reset(); });
  ASSERT_EQ(ended.wait_for(5s), std::future_status::ready) << "the stop waited for a producer";
  EXPECT_FALSE(lines.finished.get_future().get());
}

}  // namespace
}  // namespace tessamer
