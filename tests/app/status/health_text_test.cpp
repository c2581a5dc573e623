// The hub's health as the status endpoint writes it: the JSON of /status and of the page's
// health events, and the metrics exposition with the process's and the endpoint's figures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "app/sample_health.h"
#include "app/status/health_json.h"
#include "app/status/health_metrics.h"
#include "testkit/promtool.h"

namespace tessamer {
namespace {

using ::testing::HasSubstr;
using apptest::PopulatedHealth;
using nlohmann::json;
using namespace std::chrono_literals;

// The populated snapshot with a recording and an uplink, and every extra figure.
HubHealth HealthWithOutputs() {
  HubHealth health = PopulatedHealth();
  health.recording = RecordingHealth{"/var/lib/tessamer/job.db", "recording", 40960, 812, "2025-12-09T17:00:00.000Z",
                                     "2025-12-09T18:06:14.000Z", 2, 0, ""};
  health.uplink = UplinkHealth{"broker.site:1883", "lost", 700, 112, 5, 690, 3, "Connection refused"};
  return health;
}

MetricsExtras AllExtras() {
  MetricsExtras extras;
  extras.version = "1.2.3";
  extras.process = ProcessFigures{12.25, 31457280, 23, 1765303000.5};
  extras.endpoint = EndpointFigures{3, 2, 4, 5, 6, 1};
  return extras;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
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
  EXPECT_EQ(run.at("partial"), false);
  HubHealth waiting = PopulatedHealth();
  waiting.run.partial = true;
  waiting.run.waitingRows = {2, 5};
  const json partial = json::parse(HealthJson(waiting)).at("run");
  EXPECT_EQ(partial.at("partial"), true);
  EXPECT_EQ(partial.at("waitingRows"), json::array({2, 5}));

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
            json::parse(R"([{"name":"Pressure_0","unit":"psi","value":1523.25,"box":0,"boxState":"connected"},)"
                        R"({"name":"Rate_1","unit":"bpm","value":null,"box":1,"boxState":"lost"}])"));

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
      "tessamer_box_replaced_records_total{box=\"127.0.0.2:5000\"} 7",
      "tessamer_box_info{box=\"127.0.0.2:5000\",serial_number=\"VM-20417 \\\"b\\\"\\\\2\",firmware=\"8.7c\\nbeta\","
      "job_type=\"Cementing\"} 1",
      "tessamer_viewers 1",
      "tessamer_viewer_lines_sent_total{viewer=\"127.0.0.1:40001\",socket=\"17\"} 90",
      "tessamer_viewer_sent_bytes_total{viewer=\"127.0.0.1:40001\",socket=\"17\"} 4500",
      "tessamer_viewer_queued_bytes{viewer=\"127.0.0.1:40001\",socket=\"17\"} 12",
      "tessamer_viewer_connected{viewer=\"127.0.0.1:40002\",socket=\"18\"} 0",
      "tessamer_viewer_closed_for_falling_behind{viewer=\"127.0.0.1:40002\",socket=\"18\"} 1",
      "tessamer_channel_value{channel=\"Pressure_0\",unit=\"psi\",box=\"127.0.0.2:5000\"} 1523.25",
  };
  const std::vector<std::string> lines = Lines(text);
  for (const std::string& line : expected) EXPECT_THAT(lines, ::testing::Contains(line));
  // A box without a record has no age, a channel without a reading no value; every family is announced once, before its samples.
  EXPECT_THAT(text, ::testing::Not(HasSubstr("tessamer_box_newest_record_age_seconds{box=\"box-3.local:5001\"}")));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("channel=\"Rate_1\"")));
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

TEST(HealthJson, AddsTheRecordingAndTheUplinkWhenTheHubHasThem) {
  const json plain = json::parse(HealthJson(PopulatedHealth()));
  EXPECT_FALSE(plain.contains("recording"));
  EXPECT_FALSE(plain.contains("uplink"));
  const json status = json::parse(HealthJson(HealthWithOutputs()));
  EXPECT_EQ(status.at("recording"), json::parse(R"({"file":"/var/lib/tessamer/job.db","state":"recording",
      "size_bytes":40960,"records":812,"oldest":"2025-12-09T17:00:00.000Z","newest":"2025-12-09T18:06:14.000Z",
      "waiting":2,"dropped":0,"last_error":""})"));
  EXPECT_EQ(status.at("uplink"), json::parse(R"({"broker":"broker.site:1883","state":"lost","cursor":700,
      "backlog":112,"in_flight":5,"sent":690,"reconnections":3,"last_error":"Connection refused"})"));
}

TEST(HealthMetrics, AddsBuildProcessEndpointRecordingAndUplinkFigures) {
  const std::vector<std::string> lines = Lines(HealthMetrics(HealthWithOutputs(), AllExtras()));
  for (const std::string line : {
           "tessamer_build_info{version=\"1.2.3\"} 1",
           "process_cpu_seconds_total 12.25",
           "process_resident_memory_bytes 31457280",
           "process_open_fds 23",
           "process_start_time_seconds 1765303000.5",
           "tessamer_box_up{box=\"127.0.0.2:5000\"} 1",
           "tessamer_box_up{box=\"box-3.local:5001\"} 0",
           "tessamer_status_connections 3",
           "tessamer_status_event_streams 2",
           "tessamer_status_connections_refused_total 4",
           "tessamer_status_connections_evicted_total 5",
           "tessamer_status_connections_timed_out_total 6",
           "tessamer_status_event_streams_dropped_total 1",
           "tessamer_recording_info{file=\"/var/lib/tessamer/job.db\",state=\"recording\"} 1",
           "tessamer_recording_records{file=\"/var/lib/tessamer/job.db\"} 812",
           "tessamer_recording_waiting_records{file=\"/var/lib/tessamer/job.db\"} 2",
           "tessamer_uplink_up{broker=\"broker.site:1883\"} 0",
           "tessamer_uplink_backlog_records{broker=\"broker.site:1883\"} 112",
           "tessamer_uplink_sent_records_total{broker=\"broker.site:1883\"} 690",
       }) {
    EXPECT_THAT(lines, ::testing::Contains(line));
  }
  // Without extras nothing of the process or the endpoint is claimed.
  EXPECT_THAT(HealthMetrics(PopulatedHealth()), ::testing::Not(HasSubstr("process_")));
  if (!testkit::HavePromtool()) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  std::string report;
  EXPECT_TRUE(testkit::PromtoolAccepts(HealthMetrics(HealthWithOutputs(), AllExtras()), report)) << report;
}

}  // namespace
}  // namespace tessamer
