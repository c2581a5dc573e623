// What the hub publishes and what it is made with: the payloads (an interface: docs/mqtt.md),
// the broker's URL, the password file, and the lines.

#include "mqtt/mqtt_payloads.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "mqtt/mqtt_lines.h"
#include "mqtt/mqtt_settings.h"
#include "testkit/scratch_folder.h"

namespace tessamer {
namespace {

using json = nlohmann::json;

OutboxHeader TwoChannels() {
  OutboxHeader header;
  header.headerId = 4;
  header.run = 2;
  header.time = "2026-12-09T18:06:14.123Z";
  header.channels = {{"Pressure_0", "psi", 0}, {"Rate \"A\"_1", "bpm", 1}};
  header.boxes = {{0, "SN-1", "3.2", "Pumping"}, {1, "SN-2", "3.3", "Pumping"}};
  return header;
}

TEST(MqttPayloads, DataPairsTheValuesWithTheHeadersChannels) {
  const CDataPayloads payloads(TwoChannels());
  OutboxRecord record{17, 2, 4, "2026-12-09T19:06:14", "2026-12-09T18:06:14.500Z",
                      "[12.5000, null]"};
  const json data = json::parse(payloads.Payload(record));
  EXPECT_EQ(data, json::parse(R"({"seq":17,"run":2,"header":4,"box_time":"2026-12-09T19:06:14",
      "received_at":"2026-12-09T18:06:14.500Z","values":{"Pressure_0":12.5,"Rate \"A\"_1":null}})"));
  EXPECT_THAT(payloads.Payload(record), ::testing::HasSubstr("\"Pressure_0\":12.5000"));  // as held

  // A value the header has no channel for is left out; what is no JSON number goes as null.
  record.values = "[1,2,3]";
  EXPECT_EQ(json::parse(payloads.Payload(record))["values"].size(), 2u);
  for (const char* values : {"[nan,1e5]", "[\"x\",-0.5E-3]", "[1.,2]", "[,]"}) {
    record.values = values;
    EXPECT_NO_THROW(json::parse(payloads.Payload(record))) << values;
  }
  record.values = "[-0.5E-3,1.]";
  const json odd = json::parse(payloads.Payload(record))["values"];
  EXPECT_DOUBLE_EQ(odd["Pressure_0"].get<double>(), -0.0005);
  EXPECT_TRUE(odd["Rate \"A\"_1"].is_null());
  record.values = "[]";
  EXPECT_TRUE(json::parse(payloads.Payload(record))["values"].empty());
}

TEST(MqttPayloads, HeaderAndStatus) {
  const json header = json::parse(HeaderPayload(TwoChannels()));
  EXPECT_EQ(header["run"], 2);
  EXPECT_EQ(header["header"], 4);
  EXPECT_EQ(header["time"], "2026-12-09T18:06:14.123Z");
  EXPECT_EQ(header["job_type"], "Pumping");
  EXPECT_EQ(header["channels"][1], json::parse(R"({"name":"Rate \"A\"_1","unit":"bpm","box":1})"));
  EXPECT_EQ(header["boxes"][1],
            json::parse(R"({"box":1,"serial_number":"SN-2","firmware":"3.3","job_type":"Pumping"})"));

  const json online = json::parse(OnlinePayload(WallClock::time_point{} + std::chrono::hours(24) +
                                                    std::chrono::milliseconds(5), "1.2.3"));
  EXPECT_EQ(online, json::parse(R"({"state":"online","since":"1970-01-02T00:00:00.005Z",
                                    "version":"1.2.3"})"));
  EXPECT_EQ(json::parse(OfflinePayload()), json::parse(R"({"state":"offline"})"));
  EXPECT_EQ(TopicOf("tessamer/rig7", kDataTopic), "tessamer/rig7/data");
}

TEST(MqttSettings, BrokerUrls) {
  MqttBroker broker;
  std::string error;
  ASSERT_TRUE(ParseMqttUrl("mqtt://broker.example", broker, error));
  EXPECT_EQ(broker, (MqttBroker{false, "broker.example", 1883}));
  ASSERT_TRUE(ParseMqttUrl("mqtts://127.1.2.3/", broker, error));
  EXPECT_EQ(broker, (MqttBroker{true, "127.1.2.3", 8883}));
  ASSERT_TRUE(ParseMqttUrl("mqtts://h:1884", broker, error));
  EXPECT_EQ(broker.Text(), "h:1884");
  for (const char* bad : {"http://h", "mqtt://", "mqtt://h:0", "mqtt://h:70000", "mqtt://h:",
                          "mqtt://h x", "mqtt://h/topic", "h:1883"}) {
    EXPECT_FALSE(ParseMqttUrl(bad, broker, error)) << bad;
    EXPECT_THAT(error, ::testing::HasSubstr(bad)) << bad;
  }
  // A password in the URL is refused and not repeated.
  EXPECT_FALSE(ParseMqttUrl("mqtt://user:s3cret@h", broker, error));
  EXPECT_THAT(error, ::testing::Not(::testing::HasSubstr("s3cret")));
  EXPECT_EQ(broker.host, "h");  // untouched by a refused URL

  EXPECT_TRUE(IsMqttTopicPrefix("tessamer/rig-7"));
  for (const char* bad : {"", "a/+/b", "a/#", "/a", "a/"}) EXPECT_FALSE(IsMqttTopicPrefix(bad)) << bad;
  EXPECT_EQ(DefaultMqttTopicPrefix("rig7"), "tessamer/rig7");
  EXPECT_EQ(DefaultMqttClientId("rig7"), "tessamer-rig7");
}

TEST(MqttSettings, PasswordFileGivesItsFirstLineAndNeverShowsIt) {
  testkit::ScratchFolder folder;
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder.File(name), std::ios::binary) << text;
    return folder.File(name);
  };
  std::string secret;
  std::string error;
  ASSERT_TRUE(ReadSecretFile(write("a", "pa ss\r\nnext\n"), secret, error));
  EXPECT_EQ(secret, "pa ss");
  EXPECT_FALSE(ReadSecretFile(write("b", "\nhidden\n"), secret, error));
  EXPECT_EQ(error, folder.File("b") + ": holds no password on its first line");
  EXPECT_FALSE(ReadSecretFile(folder.File("none"), secret, error));
  EXPECT_EQ(error, folder.File("none") + ": cannot be read");
  EXPECT_EQ(secret, "pa ss");
}

TEST(MqttLines, ReasonsStayOneQuotedField) {
  EXPECT_EQ(MqttLostLine("say \"no\"\r\nnow", std::chrono::milliseconds(1500)),
            "mqtt lost reason=\"say 'no'  now\" retry-in=1.5");
  EXPECT_EQ(MqttLostLine("x", std::chrono::milliseconds(60000)), "mqtt lost reason=\"x\" retry-in=60");
  EXPECT_EQ(MqttDroppedLine(5, 9), "mqtt dropped seq=5-9 reason=retention");
  EXPECT_EQ(MqttCaughtUpLine(42), "mqtt caught-up seq=42");
}

}  // namespace
}  // namespace tessamer
