// Setpoint requests for combined channels reach the box that owns the channel, with the box's
// own channel number, over a cached connection to the box's utility port (a simulated box).

#include <gtest/gtest.h>

#include <cstring>
#include <array>
#include <string>
#include <vector>

#include "box_simulator.h"
#include "hub/bridge/fake_box_agents.h"
#include "testkit/fake_box.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::BridgeUnderTest;
using testkit::MakeHeader;

constexpr auto kBound = 10s;

class UtilityRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator = std::make_unique<sim::CBoxSimulator>(sim::DefaultOptions(2));
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
    StartHub(simulator->Box(0).UtilityPort());
  }
  void TearDown() override {
    hub.reset();
    simulator.reset();
  }

  // A hub whose boxes' utility port is `boxUtilityPort`.
  void StartHub(uint16_t boxUtilityPort) {
    HubConfig config = BridgeUnderTest::LoopbackConfig();
    config.boxUtilityPort = boxUtilityPort;
    config.hub.utilityOpen = 500ms;
    hub = std::make_unique<BridgeUnderTest>(config);
    ASSERT_TRUE(hub->bridge->StartServers());
  }

  // A utility connected to the hub and greeted.
  void ConnectUtility(testkit::TextClient& utility) {
    ASSERT_TRUE(utility.Connect("127.0.0.1", hub->bridge->UtilityPort()));
    std::string line;
    ASSERT_TRUE(utility.ReadLine(line));
    EXPECT_EQ(line, "Vellumetric-VMC: connected\r\n");
  }

  // Expects the box's acknowledgement of a one-digit letter command ("GA 0\r\n": 6 bytes).
  static void ExpectAcknowledged(testkit::TextClient& utility) {
    std::string line;
    ASSERT_TRUE(utility.ReadLine(line));
    EXPECT_EQ(line, "Extended Command done 6\r\n");
    ASSERT_TRUE(utility.ReadLine(line));
    EXPECT_EQ(line, "Done\r\n");
  }

  // A run of two boxes (127.0.0.2, 127.0.0.3) with 4 and 6 combined channels.
  void StartRun() {
    ASSERT_TRUE(hub->bridge->Start(BridgeUnderTest::Boxes(2), 6));
    ASSERT_TRUE(hub->boxes.WaitForTargets(2));
    hub->boxes.Box(0).SendHeader(MakeHeader(4, L"A"));
    hub->boxes.Box(1).SendHeader(MakeHeader(7, L"B"));
    ASSERT_TRUE(hub->window.WaitForCount<PublishedNotice>(1, testkit::Published(false)));
  }

  bool Request(const std::string& text, std::string* reply) {
    return hub->bridge->OnUtilityRequest(text.c_str(), static_cast<int32_t>(text.size()), reply);
  }
  // A refused request: false, and no reply for the utility.
  bool Refused(const std::string& text) {
    std::string reply;
    return !Request(text, &reply) && reply.empty();
  }
  std::vector<std::string> CommandsOf(size_t box) {
    return simulator->Box(box).ReceivedCommands();
  }

  std::unique_ptr<sim::CBoxSimulator> simulator;
  std::unique_ptr<BridgeUnderTest> hub;
};

TEST_F(UtilityRoutingTest, CombinedChannelGoesToTheOwningBoxWithItsOwnChannel) {
  StartRun();
  std::string reply;
  EXPECT_TRUE(Request("GS 7 12.5", &reply));
  ASSERT_TRUE(simulator->Box(1).WaitForCommands(1, kBound));
  EXPECT_EQ(CommandsOf(1), (std::vector<std::string>{"GS 3 12.5000"}));
  EXPECT_TRUE(CommandsOf(0).empty());
  // The box's answer comes back as it was received.
  EXPECT_EQ(reply, "Extended Command done 14\r\nDone\r\n");

  reply.clear();
  EXPECT_TRUE(Request("GA 4", &reply));
  EXPECT_TRUE(Request("GU 3", &reply));
  EXPECT_TRUE(Request("GZ 0", &reply));
  ASSERT_TRUE(simulator->Box(1).WaitForCommands(2, kBound));
  ASSERT_TRUE(simulator->Box(0).WaitForCommands(2, kBound));
  EXPECT_EQ(CommandsOf(1), (std::vector<std::string>{"GS 3 12.5000", "GA 0"}));
  EXPECT_EQ(CommandsOf(0), (std::vector<std::string>{"GU 3", "GZ 0"}));
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 2u);  // one connection per box, reused
}

TEST_F(UtilityRoutingTest, EveryChannelHasItsBoxByTheTimeTheHeadersAreComplete) {
  std::array<int32_t, MaxBoxes> ends{};  // the layout as the notice is posted
  hub->window.OnPost([&](const Notice& notice) {
    if (std::holds_alternative<HeadersCompleteNotice>(notice)) ends = hub->bridge->ChannelEnds();
  });
  StartRun();
  ASSERT_TRUE(hub->window.WaitForCount<HeadersCompleteNotice>(1));
  hub->window.OnPost({});
  EXPECT_EQ(ends[0], 4);
  EXPECT_EQ(ends[1], 10);
}

TEST_F(UtilityRoutingTest, RequestsThatSelectNothingOrAreMalformed) {
  StartRun();
  std::string reply;
  EXPECT_TRUE(Request("GA 10", &reply));  // beyond the last box's channels: nothing sent
  EXPECT_TRUE(Request("GA -1", &reply));
  EXPECT_TRUE(Request("GA -7", &reply));  // no box owns a negative channel
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(Request("GQ 1", &reply));  // a letter of no command
  EXPECT_FALSE(Request("XA 1", &reply));  // not a "G" command
  EXPECT_FALSE(Request("G", &reply));     // too short
  EXPECT_FALSE(Request("GS 7", &reply));  // a set without a value
  EXPECT_TRUE(reply.empty());
  // The fourth character starts the number: leading blanks and a sign read as atoi reads them.
  EXPECT_TRUE(Request("GA   +5", &reply));
  ASSERT_TRUE(simulator->Box(1).WaitForCommands(1, kBound));
  EXPECT_EQ(CommandsOf(1), (std::vector<std::string>{"GA 1"}));
  EXPECT_TRUE(CommandsOf(0).empty());
}

TEST_F(UtilityRoutingTest, ASetpointThatIsNotAFiniteNumberInFullIsRefused) {
  StartRun();
  const std::vector<std::string> refused{
      "inf", "-inf", "nan", "1e400",                  // not finite
      "", "  ", std::string("\0\xff", 2),            // no number at all
      std::string("5\0", 2), "5 x", "2.5abc", "0x10",  // a number with more after it
      std::string(250, '1'), "1e15", "-1e249",        // more digits than the box is to get
      "0.0000000000000000000000001"};                 // longer than any value needs
  for (const std::string& value : refused) {
    EXPECT_TRUE(Refused("GS 1 " + value)) << value;
  }
  std::string reply;
  EXPECT_TRUE(Request("GS 1 -2.5 ", &reply));
  EXPECT_TRUE(Request("GS 2 9.99e14", &reply));
  ASSERT_TRUE(simulator->Box(0).WaitForCommands(2, kBound));
  // The box's first commands are the sound ones: none of the refused ones went before them.
  EXPECT_EQ(CommandsOf(0),
            (std::vector<std::string>{"GS 1 -2.5000", "GS 2 999000000000000.0000"}));
}

TEST_F(UtilityRoutingTest, NoBoxOwnsAChannelOutsideARun) {
  std::string reply;
  EXPECT_TRUE(Request("GA 0", &reply));
  EXPECT_TRUE(reply.empty());
  StartRun();
  ASSERT_TRUE(hub->bridge->Stop());
  EXPECT_TRUE(Request("GA 0", &reply));
  EXPECT_TRUE(reply.empty());
  EXPECT_TRUE(CommandsOf(0).empty());
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 0u);
}

TEST_F(UtilityRoutingTest, AUtilityClientsDepartureEmptiesTheCache) {
  StartRun();
  std::string reply;
  EXPECT_TRUE(Request("GA 0", &reply));
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 1u);
  EXPECT_FALSE(hub->bridge->OnUtilityRequest(nullptr, 0, nullptr));
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 0u);
  EXPECT_TRUE(Request("GA 1", &reply));  // opens a new connection
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 1u);
  ASSERT_TRUE(simulator->Box(0).WaitForCommands(2, kBound));
  EXPECT_EQ(CommandsOf(0), (std::vector<std::string>{"GA 0", "GA 1"}));
}

TEST_F(UtilityRoutingTest, ABoxThatCannotBeReachedIsNotCached) {
  simulator.reset();  // nothing listens on the boxes' utility port any more
  StartRun();
  std::string reply;
  EXPECT_FALSE(Request("GA 0", &reply));
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(hub->bridge->CachedUtilityCount(), 0u);
}

TEST_F(UtilityRoutingTest, ASetpointUtilityReachesTheBoxThroughTheUtilityServer) {
  StartRun();
  testkit::TextClient utility;
  ConnectUtility(utility);
  ASSERT_TRUE(utility.Send("GA 5\r\n"));
  ExpectAcknowledged(utility);
  EXPECT_EQ(CommandsOf(1), (std::vector<std::string>{"GA 1"}));
}

// One utility asks the box that does not answer, then the other box; a second utility asks the
// other box meanwhile.
TEST_F(UtilityRoutingTest, ABoxThatDoesNotAnswerHoldsUpNoRequestForAnotherBox) {
  hub.reset();
  simulator.reset();
  testkit::FakeBox stalled("127.0.0.2");
  testkit::FakeBox healthy("127.0.0.3", 0, stalled.UtilityPort());
  StartHub(stalled.UtilityPort());
  StartRun();
  stalled.HoldUtilityAnswers();
  testkit::TextClient first;
  testkit::TextClient second;
  ConnectUtility(first);
  ConnectUtility(second);
  ASSERT_TRUE(first.Send("GA 0\r\nGA 5\r\n"));
  ASSERT_TRUE(stalled.WaitForUtilityLines(1, kBound));
  ASSERT_TRUE(second.Send("GA 4\r\n"));
  ExpectAcknowledged(second);

  // The held command was still waiting: it is answered once the box answers.
  stalled.ReleaseUtilityAnswers();
  ExpectAcknowledged(first);
  ExpectAcknowledged(first);
  EXPECT_EQ(stalled.UtilityLines(), (std::vector<std::string>{"GA 0\r\n"}));
  EXPECT_EQ(healthy.UtilityLines(), (std::vector<std::string>{"GA 0\r\n", "GA 1\r\n"}));
}

}  // namespace
}  // namespace tessamer
