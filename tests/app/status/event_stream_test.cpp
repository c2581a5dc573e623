// The web page's event stream, GET /events: its framing and order (records as the run hands
// them over, health when it changes), a client that stops reading dropped at its bound while
// the others go on, and the streams' own bound that leaves room for plain requests.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/sample_health.h"
#include "testkit/fake_hub.h"
#include "app/status/health_json.h"
#include "app/status/hub_with_status.h"
#include "testkit/http_reply.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using nlohmann::json;
using testkit::HttpReply;
using testkit::TextClient;
using namespace std::chrono_literals;

struct Event {
  std::string id, name, data, retry;
};

// The next event (or other block up to an empty line) of a stream.
bool ReadEvent(TextClient& client, Event& event, std::chrono::milliseconds timeout = 5s) {
  if (!client.ReceiveUntil([](const std::string& got) { return got.find("\n\n") != std::string::npos; }, timeout)) {
    return false;
  }
  std::string block;
  client.ReadBytes(client.Buffered().find("\n\n") + 2, block);
  event = Event{};
  for (size_t start = 0; start < block.size();) {
    const size_t end = block.find('\n', start);
    const std::string line = block.substr(start, end - start);
    start = end + 1;
    const auto value = [&line](const char* field) { return line.substr(std::string(field).size() + 2); };
    if (line.rfind("id: ", 0) == 0) event.id = value("id");
    if (line.rfind("event: ", 0) == 0) event.name = value("event");
    if (line.rfind("data: ", 0) == 0) event.data = value("data");
    if (line.rfind("retry: ", 0) == 0) event.retry = value("retry");
  }
  return true;
}

// Opens GET /events on `client`; the answer's head in `reply`.
bool OpenEvents(TextClient& client, uint16_t port, HttpReply& reply, int receiveBuffer = 0) {
  if (!client.Connect("127.0.0.1", port, 5s, receiveBuffer) ||
      !client.Send("GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n")) {
    return false;
  }
  return testkit::ReadHttpReply(client, reply, 5s, true);
}

struct ServedHub {
  testkit::FakeHub* fake = nullptr;
  std::unique_ptr<CHubWithStatus> hub;

  explicit ServedHub(HttpServerSettings http = {}) {
    auto made = std::make_unique<testkit::FakeHub>();
    fake = made.get();
    fake->script.health = apptest::PopulatedHealth();
    StatusEndpoint endpoint;
    endpoint.address = "127.0.0.1";
    endpoint.http = http;
    endpoint.healthPeriod = 20ms;
    hub = std::make_unique<CHubWithStatus>(std::move(made), std::move(endpoint));
  }
  uint16_t Port() const { return hub->StatusPort(); }
  IJobOutput& Output() const { return *fake->outputs.at(0); }
};

std::shared_ptr<const PublishedHeader> HeaderOf(const std::vector<std::string>& names) {
  auto header = std::make_shared<PublishedHeader>();
  header->run = 7;
  for (size_t i = 0; i < names.size(); ++i) {
    header->channels.push_back(ChannelSource{names[i], "psi", static_cast<int32_t>(i / 2)});
  }
  return header;
}

std::shared_ptr<const PublishedRecord> RecordOf(std::vector<double> values, bool repeat = false) {
  auto record = std::make_shared<PublishedRecord>();
  record->run = 7;
  record->at = apptest::kTaken;
  record->data.time = std::tm{};
  record->data.time.tm_year = 2025 - 1900;
  record->data.time.tm_mon = 11;
  record->data.time.tm_mday = 9;
  record->data.time.tm_hour = 19;
  record->data.time.tm_min = 6;
  record->data.time.tm_sec = 14;
  record->data.count = static_cast<int32_t>(values.size());
  for (size_t i = 0; i < values.size(); ++i) record->data.values[i] = values[i];
  record->repeat = repeat;
  return record;
}

TEST(EventStream, SendsHealthThenRecordsAndHealthChangesInOrderWithRisingIds) {
  ServedHub served;
  ASSERT_TRUE(served.hub->StartServers());
  ASSERT_EQ(served.fake->outputs.size(), 1u);  // the stream is one of the hub's outputs
  served.Output().OnHeader(HeaderOf({"Pressure_0", "Rate_0", "Pressure_1"}));
  served.Output().OnRecord(RecordOf({1, 2, 3}));  // no stream yet: nobody hears of it

  TextClient client;
  HttpReply head;
  ASSERT_TRUE(OpenEvents(client, served.Port(), head));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("content-type"), "text/event-stream; charset=utf-8");
  EXPECT_EQ(head.Header("cache-control"), "no-store");
  EXPECT_EQ(head.Header("content-length"), "");
  Event event;
  ASSERT_TRUE(ReadEvent(client, event));
  EXPECT_EQ(event.retry, "3000");
  ASSERT_TRUE(ReadEvent(client, event));
  EXPECT_EQ(event.name, "health");
  EXPECT_EQ(json::parse(event.data), json::parse(HealthJson(served.fake->script.health)));
  int lastId = std::stoi(event.id);

  auto missing = RecordOf({12.5, 3.0, NAN});
  std::const_pointer_cast<PublishedRecord>(missing)->missing.set(1);  // its box has not delivered yet
  served.Output().OnRecord(missing);
  served.Output().OnRecord(RecordOf({9, 9, 9}, true));  // the hub's repeat: not an event
  served.Output().OnRecord(RecordOf({13.0, 4.0, 5.5, 99.0}));  // a value beyond the header
  ASSERT_TRUE(ReadEvent(client, event));
  EXPECT_EQ(event.name, "record");
  EXPECT_GT(std::stoi(event.id), lastId);
  lastId = std::stoi(event.id);
  EXPECT_EQ(json::parse(event.data), json::parse(R"({"seq":null,"run":7,"time":"2025-12-09T19:06:14",
      "received_at":"2025-12-09T18:06:14.123Z","values":{"Pressure_0":12.5,"Rate_0":null,"Pressure_1":null}})"));
  EXPECT_EQ(event.data.find('\n'), std::string::npos);
  ASSERT_TRUE(ReadEvent(client, event));
  EXPECT_EQ(event.name, "record");
  EXPECT_GT(std::stoi(event.id), lastId);
  lastId = std::stoi(event.id);
  EXPECT_EQ(json::parse(event.data).at("values"), json::parse(R"({"Pressure_0":13,"Rate_0":4,"Pressure_1":5.5})"));

  HubHealth changed = served.fake->script.health;
  changed.boxes[0].state = BoxState::Lost;
  served.fake->SetHealth(changed);
  ASSERT_TRUE(ReadEvent(client, event));
  EXPECT_EQ(event.name, "health");
  EXPECT_GT(std::stoi(event.id), lastId);
  EXPECT_EQ(json::parse(event.data).at("boxes")[0].at("state"), "lost");
}

TEST(EventStream, DropsAClientThatStopsReadingAndKeepsServingTheOthers) {
  HttpServerSettings http;
  http.streamQueueBytes = 16 * 1024;
  ServedHub served(http);
  ASSERT_TRUE(served.hub->StartServers());
  served.Output().OnHeader(HeaderOf({"Pressure_0", "Rate_0", "Pressure_1"}));
  TextClient stalled;  // takes the head, then nothing more
  TextClient reader;
  HttpReply head;
  ASSERT_TRUE(OpenEvents(stalled, served.Port(), head, 4096));
  ASSERT_TRUE(OpenEvents(reader, served.Port(), head));
  Event event;
  ASSERT_TRUE(ReadEvent(reader, event));  // retry
  ASSERT_TRUE(ReadEvent(reader, event));  // health

  const HttpServerCounters& counters = served.hub->StatusCounters();
  int sent = 0;
  while (counters.streamsDropped.load() == 0 && sent < 20000) {
    for (int i = 0; i < 20; ++i, ++sent) served.Output().OnRecord(RecordOf({1.0 * sent, 2, 3}));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(ReadEvent(reader, event)) << sent;  // this one keeps up
  }
  EXPECT_EQ(counters.streamsDropped.load(), 1u) << "after " << sent << " records";
  EXPECT_TRUE(stalled.WaitClosed(10s));
  served.Output().OnRecord(RecordOf({-1, 2, 3}));
  ASSERT_TRUE(ReadEvent(reader, event));
  EXPECT_EQ(json::parse(event.data).at("values").at("Pressure_0"), -1);
  HttpReply metrics;
  ASSERT_TRUE(testkit::HttpGetOnce(served.Port(), "/metrics", metrics));
  EXPECT_THAT(metrics.body, ::testing::HasSubstr("\ntessamer_status_event_streams_dropped_total 1\n"));
  EXPECT_THAT(metrics.body, ::testing::HasSubstr("\ntessamer_status_event_streams 1\n"));
}

TEST(EventStream, StreamsBeyondTheirBoundAreRefusedAndPlainRequestsStillAnswered) {
  HttpServerSettings http;
  http.maxStreams = 2;
  http.maxConnections = 3;
  ServedHub served(http);
  ASSERT_TRUE(served.hub->StartServers());
  TextClient first, second, third;
  HttpReply reply;
  ASSERT_TRUE(OpenEvents(first, served.Port(), reply));
  ASSERT_TRUE(OpenEvents(second, served.Port(), reply));
  ASSERT_TRUE(OpenEvents(third, served.Port(), reply));
  EXPECT_EQ(reply.status, 503);
  EXPECT_EQ(reply.Header("retry-after"), "5");
  ASSERT_TRUE(testkit::HttpGet(third, "/status", reply));  // the same connection, a plain request
  EXPECT_EQ(reply.status, 200);

  // Every place taken by a stream, none idle: a newcomer is closed at once, never queued.
  http.maxConnections = 2;
  ServedHub full(http);
  ASSERT_TRUE(full.hub->StartServers());
  TextClient streams[2], newcomer;
  for (TextClient& stream : streams) ASSERT_TRUE(OpenEvents(stream, full.Port(), reply));
  ASSERT_TRUE(newcomer.Connect("127.0.0.1", full.Port()));
  EXPECT_TRUE(newcomer.WaitClosed());
  EXPECT_EQ(full.hub->StatusCounters().refused.load(), 1u);
  EXPECT_EQ(full.hub->StatusCounters().evicted.load(), 0u);
}

}  // namespace
}  // namespace tessamer
