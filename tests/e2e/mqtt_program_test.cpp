// The headless program delivering to a broker of the test's own: every record across a kill -9
// and a new start on the same recording, the status offline by the will and at a clean stop,
// records retention forced out told, and no password in any output.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "e2e/child_process.h"
#include "testkit/mosquitto_broker.h"
#include "testkit/mqtt_subscriber.h"
#include "testkit/scratch_folder.h"

namespace tessamer {
namespace {

using testkit::ChildProcess;
using testkit::MqttMessage;
using namespace std::chrono_literals;

constexpr const char* kTopic = "e2e/rig";
constexpr const char* kSecret = "pw-e2e-7731";

class MqttProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testkit::MosquittoBroker::Program().empty()) GTEST_SKIP() << testkit::MosquittoBroker::kMissing;
    std::string error;
    ASSERT_TRUE(broker.Start(error)) << error;
    ASSERT_TRUE(watcher.Start(broker.Port(), "office", std::string(kTopic) + "/#", error)) << error;
    std::FILE* file = std::fopen(folder.File("password").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "%s\n", kSecret);
    std::fclose(file);
  }

  // A headless hub on the demo's boxes, recording into the test's file and delivering.
  std::vector<std::string> Args(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {
        "--headless", "--demo", "--default-box", "127.0.0.1", "--data-port", "0", "--utility-port",
        "0", "--log", folder.File("hub.log"), "--record", folder.File("recording.sqlite"),
        "--mqtt", broker.Url(), "--mqtt-topic", kTopic, "--mqtt-user", "hub",
        "--mqtt-password-file", folder.File("password")};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  void ExpectNoSecret(const ChildProcess& hub) const {
    for (const std::string& line : hub.Lines()) {
      EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr(kSecret)));
    }
    EXPECT_THAT(hub.ErrorText(), ::testing::Not(::testing::HasSubstr(kSecret)));
  }
  std::set<uint64_t> Seqs() const {
    std::set<uint64_t> seqs;
    for (const MqttMessage& m : watcher.Messages().All()) {
      if (m.topic == std::string(kTopic) + "/data") {
        seqs.insert(nlohmann::json::parse(m.payload)["seq"].get<uint64_t>());
      }
    }
    return seqs;
  }
  bool WaitForSeqsAbove(uint64_t seq) const {
    const std::string data = std::string(kTopic) + "/data";
    return watcher.Messages().WaitForMatching(
        [&](const MqttMessage& m) {
          return m.topic == data && nlohmann::json::parse(m.payload)["seq"].get<uint64_t>() > seq;
        },
        1, 20s);
  }
  // Waits until the offline status has come `count` times.
  bool WaitForOffline(size_t count) const {
    return watcher.Messages().WaitForMatching(
        [](const MqttMessage& m) {
          return m.topic.ends_with("/status") && m.payload == R"({"state":"offline"})";
        },
        count, 20s);
  }

  testkit::ScratchFolder folder;
  testkit::MosquittoBroker broker;
  testkit::MqttSubscriber watcher;
};

TEST_F(MqttProgramTest, EveryRecordAcrossAKillAndANewStartWithTheStatusOfflineEachTime) {
  ChildProcess first;
  ASSERT_TRUE(first.Start(TESSAMER_PROGRAM, Args()));
  std::string line;
  ASSERT_TRUE(first.WaitForPrefix("mqtt connected broker=127.0.0.1:", line, 20s)) << first.ErrorText();
  ASSERT_TRUE(WaitForSeqsAbove(3)) << first.ErrorText();
  first.Signal(SIGKILL);
  int status = 0;
  ASSERT_TRUE(first.WaitExit(status));
  ASSERT_TRUE(WaitForOffline(1)) << "the will";
  const uint64_t beforeRestart = *Seqs().rbegin();

  ChildProcess second;
  ASSERT_TRUE(second.Start(TESSAMER_PROGRAM, Args()));
  ASSERT_TRUE(second.WaitForPrefix("mqtt connected", line, 20s)) << second.ErrorText();
  ASSERT_TRUE(WaitForSeqsAbove(beforeRestart + 3)) << second.ErrorText();
  second.Signal(SIGTERM);
  ASSERT_TRUE(second.WaitExit(status));
  EXPECT_EQ(status, 0) << second.ErrorText();
  ASSERT_TRUE(WaitForOffline(2)) << "a clean stop";

  // No seq missing from the first to the last the subscriber has.
  const std::set<uint64_t> seqs = Seqs();
  EXPECT_EQ(*seqs.begin(), 1u);
  EXPECT_EQ(seqs.size(), *seqs.rbegin()) << "a gap";
  ExpectNoSecret(first);
  ExpectNoSecret(second);
}

TEST_F(MqttProgramTest, WithoutTheRecordingOrWithBadSettingsTheHubDoesNotStart) {
  std::vector<std::string> args = Args({"--no-record"});
  ChildProcess unrecorded;
  ASSERT_TRUE(unrecorded.Start(TESSAMER_PROGRAM, args));
  int status = 0;
  ASSERT_TRUE(unrecorded.WaitExit(status));
  EXPECT_EQ(status, 2);
  EXPECT_THAT(unrecorded.ErrorText(), ::testing::HasSubstr("--mqtt needs the recording"));

  ChildProcess checked;
  ASSERT_TRUE(checked.Start(TESSAMER_PROGRAM, Args({"--check-config"})));
  ASSERT_TRUE(checked.WaitExit(status));
  EXPECT_EQ(status, 0) << checked.ErrorText();
  EXPECT_THAT(checked.Lines(), ::testing::Contains("mqtt-user = \"hub\""));
  ExpectNoSecret(checked);
}

}  // namespace
}  // namespace tessamer
