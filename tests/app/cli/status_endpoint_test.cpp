// The status endpoint: the JSON and the metrics texts of a populated snapshot, the server's
// routes, a taken port, the loopback-only default, and the tables --status prints.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <asio.hpp>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "app/cli/command_line.h"
#include "app/cli/headless_main.h"
#include "app/cli/health_json.h"
#include "app/cli/health_metrics.h"
#include "app/cli/hub_with_status.h"
#include "app/cli/status_client.h"
#include "app/cli/status_server.h"
#include "testkit/fake_hub.h"
#include "testkit/promtool.h"

namespace tessamer {
namespace {

using ::testing::HasSubstr;
using nlohmann::json;
using namespace std::chrono_literals;

const WallClock::time_point kTaken = WallClock::time_point(1765303574123ms);  // 2025-12-09T18:06:14.123Z

// Two boxes (one speaking, one lost with a refusal), two viewers (one closed for falling behind),
// a running run and its combined channels; texts that need escaping in every place they can be.
HubHealth PopulatedHealth() {
  HubHealth health;
  health.takenAt = kTaken;
  BoxHealth speaking;
  speaking.row = 0;
  speaking.agent = 0;
  speaking.address = "127.0.0.2";
  speaking.port = 5000;
  speaking.state = BoxState::Connected;
  speaking.stateSince = kTaken - 83s;
  speaking.connections = 2;
  speaking.reconnections = 1;
  speaking.records = 1234;
  speaking.recordsPerSecond = 1.5;
  speaking.newestRecordAge = 260ms;
  speaking.rejectedLines = 3;
  speaking.replacedRecords = 7;
  speaking.serialNumber = "VM-20417 \"b\"\\2";
  speaking.firmware = "8.7c\nbeta";
  speaking.jobType = "Cementing";
  BoxHealth lost;
  lost.row = 2;
  lost.agent = 1;
  lost.address = "box-3.local";
  lost.port = 5001;
  lost.state = BoxState::Lost;
  lost.stateSince = kTaken - 2s;
  lost.connections = 1;
  lost.lastError = "Connection refused";
  health.boxes = {speaking, lost};
  ViewerHealth viewer;
  viewer.socket = 17;
  viewer.peerAddress = "127.0.0.1";
  viewer.peerPort = 40001;
  viewer.connectedSince = kTaken - 10s;
  viewer.linesSent = 90;
  viewer.bytesSent = 4500;
  viewer.bytesQueued = 12;
  ViewerHealth behind = viewer;
  behind.socket = 18;
  behind.peerPort = 40002;
  behind.connected = false;
  behind.closedForFallingBehind = true;
  health.viewers = {viewer, behind};
  health.run = {true, kTaken - 90s, 1200, 4, "running"};
  health.channels = {{"Pressure_0", "psi", 1523.25}, {"Rate_1", "bpm", -0.5}};
  return health;
}

TEST(HealthJson, CarriesEveryFigureOfTheSnapshot) {
  const json status = json::parse(HealthJson(PopulatedHealth()));
  EXPECT_EQ(status.at("takenAt"), "2025-12-09T18:06:14.123Z");
  const json& run = status.at("run");
  EXPECT_EQ(run.at("active"), true);
  EXPECT_EQ(run.at("startedAt"), "2025-12-09T18:04:44.123Z");
  EXPECT_EQ(run.at("recordsPublished"), 1200);
  EXPECT_EQ(run.at("repeatsSent"), 4);
  EXPECT_EQ(run.at("outcome"), "running");

  ASSERT_EQ(status.at("boxes").size(), 2u);
  const json& box = status.at("boxes")[0];
  EXPECT_EQ(box.at("row"), 0);
  EXPECT_EQ(box.at("agent"), 0);
  EXPECT_EQ(box.at("address"), "127.0.0.2");
  EXPECT_EQ(box.at("port"), 5000);
  EXPECT_EQ(box.at("state"), "connected");
  EXPECT_EQ(box.at("stateSince"), "2025-12-09T18:04:51.123Z");
  EXPECT_EQ(box.at("connections"), 2);
  EXPECT_EQ(box.at("reconnections"), 1);
  EXPECT_EQ(box.at("records"), 1234);
  EXPECT_EQ(box.at("recordsPerSecond"), 1.5);
  EXPECT_EQ(box.at("newestRecordAgeMs"), 260);
  EXPECT_EQ(box.at("rejectedLines"), 3);
  EXPECT_EQ(box.at("replacedRecords"), 7);
  EXPECT_EQ(box.at("serialNumber"), "VM-20417 \"b\"\\2");  // escaped and read back
  EXPECT_EQ(box.at("firmware"), "8.7c\nbeta");
  EXPECT_EQ(box.at("jobType"), "Cementing");
  const json& lost = status.at("boxes")[1];
  EXPECT_EQ(lost.at("row"), 2);
  EXPECT_EQ(lost.at("state"), "lost");
  EXPECT_TRUE(lost.at("newestRecordAgeMs").is_null());  // no record yet
  EXPECT_EQ(lost.at("lastError"), "Connection refused");

  ASSERT_EQ(status.at("viewers").size(), 2u);
  const json& viewer = status.at("viewers")[0];
  EXPECT_EQ(viewer.at("socket"), 17);
  EXPECT_EQ(viewer.at("peerAddress"), "127.0.0.1");
  EXPECT_EQ(viewer.at("peerPort"), 40001);
  EXPECT_EQ(viewer.at("connectedSince"), "2025-12-09T18:06:04.123Z");
  EXPECT_EQ(viewer.at("linesSent"), 90);
  EXPECT_EQ(viewer.at("bytesSent"), 4500);
  EXPECT_EQ(viewer.at("bytesQueued"), 12);
  EXPECT_EQ(viewer.at("connected"), true);
  EXPECT_EQ(viewer.at("closedForFallingBehind"), false);
  EXPECT_EQ(status.at("viewers")[1].at("connected"), false);
  EXPECT_EQ(status.at("viewers")[1].at("closedForFallingBehind"), true);

  EXPECT_EQ(status.at("channels"),
            json::parse(R"([{"name":"Pressure_0","unit":"psi","value":1523.25},{"name":"Rate_1","unit":"bpm","value":-0.5}])"));

  // Before any run: no start time, and a text that is not UTF-8 still makes JSON.
  HubHealth idle;
  idle.boxes.push_back(BoxHealth{});
  idle.boxes[0].lastError = "bad \xff byte";
  const json empty = json::parse(HealthJson(idle));
  EXPECT_TRUE(empty.at("takenAt").is_null());
  EXPECT_TRUE(empty.at("run").at("startedAt").is_null());
  EXPECT_EQ(empty.at("boxes")[0].at("state"), "idle");
  EXPECT_THAT(empty.at("boxes")[0].at("lastError").get<std::string>(), ::testing::StartsWith("bad "));
}

TEST(HealthMetrics, ExposesBoxesViewersRunAndChannelsWithEscapedLabels) {
  const std::string text = HealthMetrics(PopulatedHealth());
  const std::vector<std::string> expected = {
      "tessamer_run_active 1",
      "tessamer_run_started_timestamp_seconds 1765303484.123",
      "tessamer_run_records_published_total 1200",
      "tessamer_run_repeats_sent_total 4",
      "tessamer_box_state{box=\"127.0.0.2:5000\",state=\"connected\"} 1",
      "tessamer_box_state{box=\"127.0.0.2:5000\",state=\"silent\"} 0",
      "tessamer_box_state{box=\"box-3.local:5001\",state=\"lost\"} 1",
      "tessamer_box_connections_total{box=\"127.0.0.2:5000\"} 2",
      "tessamer_box_reconnections_total{box=\"127.0.0.2:5000\"} 1",
      "tessamer_box_records_total{box=\"127.0.0.2:5000\"} 1234",
      "tessamer_box_records_per_second{box=\"127.0.0.2:5000\"} 1.5",
      "tessamer_box_newest_record_age_seconds{box=\"127.0.0.2:5000\"} 0.26",
      "tessamer_box_rejected_lines_total{box=\"127.0.0.2:5000\"} 3",
      "tessamer_box_info{box=\"127.0.0.2:5000\",serial_number=\"VM-20417 \\\"b\\\"\\\\2\",firmware=\"8.7c\\nbeta\","
      "job_type=\"Cementing\"} 1",
      "tessamer_viewers 1",
      "tessamer_viewer_lines_sent_total{viewer=\"127.0.0.1:40001\",socket=\"17\"} 90",
      "tessamer_viewer_sent_bytes_total{viewer=\"127.0.0.1:40001\",socket=\"17\"} 4500",
      "tessamer_viewer_queued_bytes{viewer=\"127.0.0.1:40001\",socket=\"17\"} 12",
      "tessamer_viewer_connected{viewer=\"127.0.0.1:40002\",socket=\"18\"} 0",
      "tessamer_viewer_closed_for_falling_behind{viewer=\"127.0.0.1:40002\",socket=\"18\"} 1",
      "tessamer_channel_value{channel=\"Pressure_0\",unit=\"psi\",box=\"127.0.0.2:5000\"} 1523.25",
      "tessamer_channel_value{channel=\"Rate_1\",unit=\"bpm\",box=\"box-3.local:5001\"} -0.5",
  };
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  for (const std::string& line : expected) EXPECT_THAT(lines, ::testing::Contains(line));
  // A box without a record has no age; every family is announced once, before its samples.
  EXPECT_THAT(text, ::testing::Not(HasSubstr("tessamer_box_newest_record_age_seconds{box=\"box-3.local:5001\"}")));
  std::set<std::string> announced;
  const std::regex type("# TYPE (tessamer_[a-z_]+) (gauge|counter)");
  const std::regex sample("(tessamer_[a-z_]+)(\\{.*\\})? [-+0-9.eE]+");
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_match(line, match, type)) {
      EXPECT_TRUE(announced.insert(match[1]).second) << line;
    } else if (std::regex_match(line, match, sample)) {
      EXPECT_EQ(announced.count(match[1]), 1u) << line;
    } else {
      EXPECT_THAT(line, ::testing::StartsWith("# HELP tessamer_"));
    }
  }
  EXPECT_EQ(EscapedLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

TEST(HealthMetrics, PromtoolAcceptsThePopulatedSnapshot) {
  if (!testkit::HavePromtool()) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  std::string report;
  EXPECT_TRUE(testkit::PromtoolAccepts(HealthMetrics(PopulatedHealth()), report)) << report;
}

TEST(StatusTables, ShowEveryBoxAndViewer) {
  std::string tables;
  ASSERT_TRUE(StatusTables(HealthJson(PopulatedHealth()), tables));
  EXPECT_THAT(tables, ::testing::StartsWith("run: running, started "));
  EXPECT_THAT(tables, HasSubstr(", 1200 records published, 4 repeated\n"));
  EXPECT_THAT(tables, ::testing::ContainsRegex("\nboxes \\(2\\)\nrow +address +state +since +records +rate +age +last error\n"
                                               "0 +127\\.0\\.0\\.2:5000 +connected +[0-9:]{8} +1234 +1\\.5/s +0\\.3 s\n"
                                               "2 +box-3\\.local:5001 +lost +[0-9:]{8} +0 +0\\.0/s +- +Connection refused\n"));
  EXPECT_THAT(tables, ::testing::ContainsRegex("\nviewers \\(2\\)\nsocket +peer +since +lines +bytes +queued +state\n"
                                               "17 +127\\.0\\.0\\.1:40001 +[0-9:]{8} +90 +4500 +12 +connected\n"
                                               "18 +127\\.0\\.0\\.1:40002 .* closed: fell behind\n"));
  EXPECT_FALSE(StatusTables("<html>", tables));
  EXPECT_FALSE(StatusTables("{\"boxes\": 3}", tables));
}

// A hub with a status endpoint as the program makes one from its options.
std::unique_ptr<IHubControl> HubServingStatus(const std::vector<std::string>& args,
                                              testkit::FakeHub*& fake) {
  CommandLine options;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, options, error)) << error;
  const auto makeHub = WithStatusEndpoint(
      [&fake](INoticeSink*, const HubConfig&) -> std::unique_ptr<IHubControl> {
        auto hub = std::make_unique<testkit::FakeHub>();
        fake = hub.get();
        return hub;
      },
      options);
  return makeHub(nullptr, HubConfigOf(options));
}

TEST(StatusServer, AnswersStatusAndMetricsAndNothingElse) {
  testkit::FakeHub* fake = nullptr;
  const std::unique_ptr<IHubControl> hub = HubServingStatus({"--status-port", "0"}, fake);
  fake->script.health = PopulatedHealth();
  ASSERT_TRUE(hub->StartServers());
  EXPECT_EQ(fake->calls->startServers, 1);
  ASSERT_GT(hub->StatusPort(), 0);

  httplib::Client client("127.0.0.1", hub->StatusPort());
  const auto status = client.Get("/status");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 200);
  EXPECT_EQ(status->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(status->body), json::parse(HealthJson(fake->script.health)));
  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_THAT(metrics->get_header_value("Content-Type"), ::testing::StartsWith("text/plain; version=0.0.4"));
  EXPECT_EQ(metrics->body, HealthMetrics(fake->script.health));
  for (const char* path : {"/", "/status/", "/metrics.txt", "/favicon.ico"}) {
    const auto other = client.Get(path);
    ASSERT_TRUE(other) << path;
    EXPECT_EQ(other->status, 404) << path;
  }
  const auto posted = client.Post("/status", "x", "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 404);
}

TEST(StatusServer, ListensOnLoopbackOnlyUnlessToldOtherwise) {
  asio::io_context context;
  const auto answers = [&context](const char* address, uint16_t port) {
    asio::ip::tcp::socket socket(context);
    asio::error_code error;
    socket.connect({asio::ip::make_address(address), port}, error);
    return !error;
  };
  testkit::FakeHub* fake = nullptr;
  const std::unique_ptr<IHubControl> hub = HubServingStatus({"--status-port", "0"}, fake);
  ASSERT_TRUE(hub->StartServers());
  EXPECT_TRUE(answers("127.0.0.1", hub->StatusPort()));
  EXPECT_FALSE(answers("127.0.0.2", hub->StatusPort()));  // bound to 127.0.0.1, not to every address

  const std::unique_ptr<IHubControl> named = HubServingStatus({"--status-port", "0", "--status-listen", "127.0.0.3"}, fake);
  ASSERT_TRUE(named->StartServers());
  EXPECT_TRUE(answers("127.0.0.3", named->StatusPort()));
  EXPECT_FALSE(answers("127.0.0.1", named->StatusPort()));
}

TEST(StatusServer, RefusesATakenPortAndStartsNothingElse) {
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string port = std::to_string(taken.local_endpoint().port());
  testkit::FakeHub* fake = nullptr;
  const std::unique_ptr<IHubControl> hub = HubServingStatus({"--status-port", port}, fake);
  EXPECT_FALSE(hub->StartServers());
  EXPECT_EQ(fake->calls->startServers, 0);  // the data server does not start either
  EXPECT_EQ(hub->StatusPort(), 0);
  const std::wstring reason = hub->StartError().text;
  EXPECT_EQ(reason.find(L"The status endpoint cannot listen on 127.0.0.1:" + std::wstring(port.begin(), port.end()) + L": "), 0u);
  EXPECT_GT(reason.size(), 50u);  // the system's reason follows
  EXPECT_EQ(reason.find(L'\n'), std::wstring::npos);
}

TEST(StatusServer, IsOffUnlessAskedFor) {
  testkit::FakeHub* fake = nullptr;
  CommandLine options;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({}, options, error));
  const auto hub = WithStatusEndpoint(
      [&fake](INoticeSink*, const HubConfig&) -> std::unique_ptr<IHubControl> {
        auto made = std::make_unique<testkit::FakeHub>();
        fake = made.get();
        return made;
      },
      options)(nullptr, HubConfigOf(options));
  EXPECT_EQ(hub.get(), fake);  // the hub itself, no endpoint around it
  EXPECT_EQ(hub->StatusPort(), 0);
}

}  // namespace
}  // namespace tessamer
