// The uplink against a real broker of the test's own: every record once and in order after its
// header, nothing lost across a broker outage or a new start on the same outbox, the status
// topic's will and clean stop, TLS with an authority the test makes, user and password.

#include "mqtt/mqtt_uplink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>

#include "testkit/memory_outbox.h"
#include "testkit/mosquitto_broker.h"
#include "testkit/mqtt_subscriber.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using testkit::MqttMessage;

constexpr const char* kPrefix = "test/rig7";

bool HasPrefix(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class MqttUplinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testkit::MosquittoBroker::Program().empty()) GTEST_SKIP() << testkit::MosquittoBroker::kMissing;
  }
  void TearDown() override {
    if (uplink) uplink->Stop();
  }

  // Settings for the broker, with the waits scaled down.
  MqttSettings Settings() const {
    MqttSettings settings;
    settings.broker = MqttBroker{false, "127.0.0.1", broker.Port()};
    settings.topicPrefix = kPrefix;
    settings.clientId = "tessamer-test";
    settings.cursorRecords = 16;
    settings.timings.firstRetry = 50ms;
    settings.timings.longestRetry = 200ms;
    settings.timings.tickPeriod = 50ms;
    settings.timings.cursorPeriod = 20ms;
    settings.timings.outboxRetry = 50ms;
    settings.timings.connectTimeout = 5s;
    return settings;
  }
  void StartBroker() {
    std::string error;
    ASSERT_TRUE(broker.Start(error)) << error;
  }
  void Subscribe(uint16_t port = 0) {
    std::string error;
    ASSERT_TRUE(subscriber.Start(port != 0 ? port : broker.Port(), "watcher",
                                 std::string(kPrefix) + "/#", error))
        << error;
  }
  void StartUplink(MqttSettings settings) {
    std::string error;
    uplink = CMqttUplink::Start(std::move(settings), outbox, lines.Adder(), error);
    ASSERT_TRUE(uplink) << error;
  }

  std::vector<MqttMessage> On(const char* topic) const {
    std::vector<MqttMessage> found;
    for (const MqttMessage& m : subscriber.Messages().All()) {
      if (m.topic == std::string(kPrefix) + "/" + topic) found.push_back(m);
    }
    return found;
  }
  // The seqs of the data messages, in the order they came.
  std::vector<uint64_t> DataSeqs() const {
    std::vector<uint64_t> seqs;
    for (const MqttMessage& m : On("data")) seqs.push_back(json::parse(m.payload)["seq"]);
    return seqs;
  }
  bool WaitForSeq(uint64_t seq) {
    const std::string needle = "{\"seq\":" + std::to_string(seq) + ",";
    return subscriber.Messages().WaitForMatching(
        [&](const MqttMessage& m) { return HasPrefix(m.payload, needle); }, 1, 20s);
  }
  bool WaitForLine(const std::string& prefix, size_t count = 1) {
    return lines.WaitForMatching([&](const std::string& l) { return HasPrefix(l, prefix); },
                                 count, 20s);
  }
  // Every seq from `first` to `last` came, the first arrival of each in seq order.
  void ExpectEverySeqInOrder(uint64_t first, uint64_t last) const {
    std::vector<uint64_t> firstArrivals;
    std::set<uint64_t> seen;
    for (uint64_t seq : DataSeqs()) {
      if (seen.insert(seq).second) firstArrivals.push_back(seq);
    }
    std::vector<uint64_t> expected;
    for (uint64_t seq = first; seq <= last; ++seq) expected.push_back(seq);
    EXPECT_EQ(firstArrivals, expected);
  }

  testkit::MosquittoBroker broker;
  testkit::MqttSubscriber subscriber;
  std::shared_ptr<testkit::MemoryOutbox> outbox = std::make_shared<testkit::MemoryOutbox>();
  testkit::Recorder<std::string> lines;
  std::shared_ptr<CMqttUplink> uplink;
};

TEST_F(MqttUplinkTest, EveryRecordOnceInOrderAfterItsHeaderThenOfflineAtTheStop) {
  StartBroker();
  Subscribe();
  const int64_t first = outbox->AddHeader(3);
  outbox->SetCursor(kMqttCursorName, 0);  // a backlog waits from the start
  outbox->Commit(first, 300);
  StartUplink(Settings());
  uplink->SetHealth([] { return std::string(R"({"boxes":[]})"); });
  outbox->Commit(first, 100, {1});  // live, the second box lost
  const int64_t second = outbox->AddHeader(2, 2);
  outbox->Commit(second, 20);
  ASSERT_TRUE(WaitForSeq(420));
  ASSERT_TRUE(WaitForLine("mqtt caught-up seq=420"));
  EXPECT_EQ(lines.All().front(), "mqtt connected broker=127.0.0.1:" + std::to_string(broker.Port()));

  // Once each, in order; the header of each before its first record.
  std::vector<uint64_t> expected;
  for (uint64_t seq = 1; seq <= 420; ++seq) expected.push_back(seq);
  EXPECT_EQ(DataSeqs(), expected);
  std::vector<std::string> order;
  for (const MqttMessage& m : subscriber.Messages().All()) {
    const json body = json::parse(m.payload);
    if (m.topic.ends_with("/header")) order.push_back("header " + body["header"].dump());
    if (m.topic.ends_with("/data") && (body["seq"] == 1 || body["seq"] == 401)) {
      order.push_back("record " + body["seq"].dump());
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"header 1", "record 1", "header 2", "record 401"}));
  const json record = json::parse(On("data")[350].payload);
  EXPECT_EQ(record["values"]["Pressure0_0"].dump(), testkit::MemoryOutbox::ValueText(351, 0));
  EXPECT_TRUE(record["values"]["Pressure1_0"].is_null());
  EXPECT_EQ(record["run"], 1);
  EXPECT_EQ(json::parse(On("status").at(0).payload)["state"], "online");
  EXPECT_EQ(On("health").at(0).payload, R"({"boxes":[]})");

  HubHealth health;
  uplink->AddHealth(health);
  ASSERT_TRUE(health.uplink);
  EXPECT_EQ(health.uplink->state, "connected");
  EXPECT_EQ(health.uplink->broker, "127.0.0.1:" + std::to_string(broker.Port()));

  uplink->Stop();
  uplink->AddHealth(health);
  EXPECT_EQ(health.uplink->cursor, 420u);
  EXPECT_EQ(health.uplink->sent, 420u);
  EXPECT_EQ(outbox->Cursor(kMqttCursorName), 420u);
  EXPECT_LT(outbox->CursorWrites(), 420u / 4);  // in batches, not one write per PUBACK
  ASSERT_TRUE(subscriber.Messages().WaitForMatching([](const MqttMessage& m) {
    return m.topic.ends_with("/status") && m.payload == R"({"state":"offline"})";
  }));
}

TEST_F(MqttUplinkTest, NothingLostAcrossABrokerOutageAndANewStart) {
  StartBroker();
  Subscribe();
  const int64_t header = outbox->AddHeader(2);
  StartUplink(Settings());
  ASSERT_TRUE(WaitForLine("mqtt connected"));
  outbox->Commit(header, 50);
  ASSERT_TRUE(WaitForSeq(50));

  ASSERT_TRUE(broker.Stop());
  ASSERT_TRUE(WaitForLine("mqtt lost reason="));
  outbox->Commit(header, 100);  // while the broker is away
  ASSERT_TRUE(WaitForLine("mqtt lost reason=", 2));  // attempts go on, each told
  StartBroker();
  ASSERT_TRUE(WaitForLine("mqtt connected", 2));
  ASSERT_TRUE(WaitForSeq(150));

  // A new start on the same outbox goes on after the cursor; records retention took are passed.
  uplink->Stop();
  uplink.reset();
  outbox->Commit(header, 30);
  outbox->Remove(160, 169);
  StartUplink(Settings());
  ASSERT_TRUE(WaitForSeq(180));
  ASSERT_TRUE(WaitForLine("mqtt caught-up seq=180"));
  std::set<uint64_t> seen;
  for (uint64_t seq : DataSeqs()) seen.insert(seq);
  for (uint64_t seq = 1; seq <= 180; ++seq) {
    EXPECT_EQ(seen.count(seq), seq >= 160 && seq <= 169 ? 0u : 1u) << seq;
  }
  HubHealth health;
  uplink->AddHealth(health);
  EXPECT_EQ(health.uplink->backlog, 0u);
  EXPECT_EQ(health.uplink->inFlight, 0u);
}

TEST_F(MqttUplinkTest, WrongPasswordIsToldAndRetriedUntilTheRightOneComes) {
  const std::string passwords = broker.WriteFile("passwords", "");
  ASSERT_EQ(std::system(("mosquitto_passwd -b " + passwords + " hub right-one").c_str()), 0);
  std::system(("chmod 0644 " + passwords).c_str());
  const uint16_t open = testkit::FreeLoopbackPort();
  broker.Configure({"per_listener_settings true", "listener " + std::to_string(open) + " 127.0.0.1",
                    "allow_anonymous true"},
                   {"allow_anonymous false", "password_file " + passwords});
  StartBroker();
  Subscribe(open);
  const int64_t header = outbox->AddHeader(1);
  MqttSettings settings = Settings();
  settings.user = "hub";
  settings.password = "wrong-one";
  StartUplink(settings);
  ASSERT_TRUE(WaitForLine("mqtt lost reason=\"refused: ", 3));
  const std::vector<std::string> told = lines.All();
  EXPECT_THAT(told[0], ::testing::HasSubstr("not authorised"));
  EXPECT_THAT(told[0], ::testing::EndsWith("retry-in=0.05"));
  EXPECT_THAT(told[1], ::testing::EndsWith("retry-in=0.1"));
  HubHealth health;
  uplink->AddHealth(health);
  EXPECT_EQ(health.uplink->state, "lost");
  EXPECT_GE(health.uplink->reconnections, 2u);
  EXPECT_TRUE(On("data").empty());

  settings.password = "right-one";
  uplink->Reconfigure(settings);
  outbox->Commit(header, 5);
  ASSERT_TRUE(WaitForSeq(5));
  uplink->Stop();
  for (const std::string& line : lines.All()) {
    EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr("-one"))) << line;
  }
}

// A certificate authority, a broker certificate for 127.0.0.1 signed by it, and a second
// authority that signed nothing, made with openssl in `folder`.
bool MakeCertificates(const testkit::MosquittoBroker& broker) {
  const std::string dir = broker.Folder().Path().string();
  const std::string script =
      "cd " + dir + " && "
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key "
      "-out ca.crt && "
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca -keyout other.key "
      "-out other.crt && "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr "
      "&& printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext && "
      "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile san.ext -out server.crt && chmod 0644 *";
  return std::system(("( " + script + " ) >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(MqttUplinkTest, TlsWithTheRightAuthorityOnlyAndTheReasonOfARefusal) {
  ASSERT_TRUE(MakeCertificates(broker));
  const std::string dir = broker.Folder().Path().string();
  const uint16_t open = testkit::FreeLoopbackPort();
  broker.Configure({"allow_anonymous true", "listener " + std::to_string(open) + " 127.0.0.1"},
                   {"cafile " + dir + "/ca.crt", "certfile " + dir + "/server.crt",
                    "keyfile " + dir + "/server.key"});
  StartBroker();
  Subscribe(open);
  const int64_t header = outbox->AddHeader(1);
  MqttSettings settings = Settings();
  settings.broker.tls = true;
  settings.caFile = dir + "/other.crt";
  outbox->SetCursor(kMqttCursorName, 0);
  StartUplink(settings);
  outbox->Commit(header, 5);
  ASSERT_TRUE(WaitForLine("mqtt lost reason=", 2));
  EXPECT_THAT(lines.All()[0], ::testing::HasSubstr("certificate verify failed"));
  EXPECT_TRUE(subscriber.Messages().All().empty());  // not even the status

  settings.caFile = dir + "/ca.crt";
  uplink->Reconfigure(settings);
  ASSERT_TRUE(WaitForSeq(5));
  EXPECT_TRUE(WaitForLine("mqtt caught-up seq=5"));
}

}  // namespace
}  // namespace tessamer
