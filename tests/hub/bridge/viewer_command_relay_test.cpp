#include "hub/bridge/viewer_command_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "server/data_server.h"
#include "testkit/fake_box.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::FakeBox;

constexpr const char* kTimeoutReply =
    "## DCC ERROR A timeout occurred while waiting for an operation to complete\r\n";

// The replies handed to the viewers' reply functions, as "viewer:text".
class Replies : public testkit::Recorder<std::string> {
 public:
  std::function<void(std::string)> To(int viewer) {
    return [this, viewer](std::string text) { Add(std::to_string(viewer) + ":" + text); };
  }
};

TEST(ViewerCommandRelay, CommandTextIsCutToWhatARequestCarries) {
  EXPECT_EQ(CViewerCommandRelay::CommandOf("## PING\r"), "PING\r");
  EXPECT_EQ(CViewerCommandRelay::CommandOf("##"), "");
  EXPECT_EQ(CViewerCommandRelay::CommandOf(std::string("## A\0B", 6)), "A");
  const std::string line = "## " + std::string(597, 'q');
  EXPECT_EQ(CViewerCommandRelay::CommandOf(line), std::string(506, 'q'));
}

TEST(ViewerCommandRelay, BoxAnswerComesBackAsOneLine) {
  FakeBox box("127.0.0.2");
  Replies replies;  // outlives the relay thread that calls it
  CViewerCommandRelay relay("127.0.0.2", box.UtilityPort(), 500ms);
  relay.Relay(1, "## PING", replies.To(1));
  ASSERT_TRUE(replies.WaitForCount(1));
  EXPECT_EQ(box.UtilityLines(), std::vector<std::string>{"GC PING\r\n"});
  EXPECT_EQ(replies.All(),
            std::vector<std::string>{"1:## DCC OK_OT Extended Command done 9.Done.\r\n"});
}

TEST(ViewerCommandRelay, LongCommandIsRelayedAsItsFirst506Bytes) {
  FakeBox box("127.0.0.2");
  Replies replies;  // outlives the relay thread that calls it
  CViewerCommandRelay relay("127.0.0.2", box.UtilityPort(), 500ms);
  std::string command;
  for (int i = 0; i < 600; ++i) command += static_cast<char>('a' + i % 26);
  relay.Relay(1, "## " + command + "\r", replies.To(1));
  ASSERT_TRUE(replies.WaitForCount(1));
  ASSERT_EQ(box.UtilityLines().size(), 1u);
  EXPECT_EQ(box.UtilityLines()[0], "GC " + command.substr(0, 506) + "\r\n");
  EXPECT_EQ(replies.All()[0], "1:## DCC OK_OT Extended Command done 511.Done.\r\n");
}

TEST(ViewerCommandRelay, NoBoxAtTheDefaultAddressGivesOneErrorLine) {
  asio::io_context io;
  asio::ip::tcp::acceptor bound(io);  // bound, never listening: every connect is refused
  bound.open(asio::ip::tcp::v4());
  bound.bind({asio::ip::make_address_v4("127.0.0.4"), 0});
  Replies replies;  // outlives the relay thread that calls it
  CViewerCommandRelay relay("127.0.0.4", bound.local_endpoint().port(), 150ms);
  relay.Relay(7, "## STATUS\r", replies.To(7));
  ASSERT_TRUE(replies.WaitForCount(1));
  EXPECT_EQ(replies.All(), std::vector<std::string>{std::string("7:") + kTimeoutReply});
}

// Holds a fake box's answers until opened.
class AnswerGate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      open = true;
    }
    opened.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> guard(mutex);
    opened.wait(guard, [&] { return open; });
  }

 private:
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
};

// A fake box on 127.0.0.2 that acknowledges each command once its gate is open. Whatever
// happens, the gate opens before the box goes, so the box's thread is let go.
struct GatedBox {
  GatedBox() {
    box.SetUtilityResponder([gate = gate](const std::string& line) {
      gate->Pass();
      return testkit::Acknowledge(line);
    });
  }
  ~GatedBox() { gate->Open(); }
  std::shared_ptr<AnswerGate> gate = std::make_shared<AnswerGate>();
  FakeBox box{"127.0.0.2"};
};

TEST(ViewerCommandRelay, RelayNeverWaitsAndAViewersAnswersKeepTheirOrder) {
  GatedBox gated;
  auto& box = gated.box;
  Replies replies;  // outlives the relay threads that call it
  CViewerCommandRelay relay("127.0.0.2", box.UtilityPort(), 2s);
  relay.Relay(1, "## FIRST", replies.To(1));
  ASSERT_TRUE(box.WaitForUtilityLines(1));
  relay.Relay(1, "## SECOND", replies.To(1));  // returns although the box is still busy
  relay.Relay(1, "## THIRD", replies.To(1));
  EXPECT_TRUE(replies.All().empty());
  gated.gate->Open();
  ASSERT_TRUE(replies.WaitForCount(3));
  EXPECT_EQ(replies.All(), (std::vector<std::string>{
                               "1:## DCC OK_OT Extended Command done 10.Done.\r\n",
                               "1:## DCC OK_OT Extended Command done 11.Done.\r\n",
                               "1:## DCC OK_OT Extended Command done 10.Done.\r\n"}));
  EXPECT_EQ(box.UtilityLines(), (std::vector<std::string>{"GC FIRST\r\n", "GC SECOND\r\n", "GC THIRD\r\n"}));
}

TEST(ViewerCommandRelay, OneViewersCommandsGoOneAtATimeAndNeverHoldUpAnother) {
  FakeBox box("127.0.0.2");
  box.SetUtilityResponder([](const std::string&) { return std::string(); });  // never acknowledges
  Replies replies;
  {
    CViewerCommandRelay relay("127.0.0.2", box.UtilityPort(), 5s);
    relay.Relay(1, "## HOLD", replies.To(1));
    ASSERT_TRUE(box.WaitForUtilityLines(1));
    for (size_t i = 0; i < kRelayWaitingLimit + 2; ++i) relay.Relay(1, "## MORE", replies.To(1));
    ASSERT_TRUE(replies.WaitForCount(2));  // the two beyond the limit, at once
    relay.Relay(2, "## OTHER", replies.To(2));
    ASSERT_TRUE(box.WaitForUtilityLines(2));
    EXPECT_EQ(box.UtilityLines(), (std::vector<std::string>{"GC HOLD\r\n", "GC OTHER\r\n"}));
    EXPECT_EQ(replies.All(),
              std::vector<std::string>(2, "1:## DCC ERROR Too many box commands are waiting\r\n"));
  }
  // Destruction interrupted the silent exchanges and dropped what was waiting.
  EXPECT_EQ(replies.All().size(), 2u);
  EXPECT_EQ(box.UtilityLines().size(), 2u);
}

TEST(ViewerCommandRelay, AViewerThatLeavesHasItsWaitingCommandsDroppedUnsent) {
  GatedBox gated;
  auto& box = gated.box;
  Replies replies;
  CViewerCommandRelay relay("127.0.0.2", box.UtilityPort(), 2s);
  relay.Relay(1, "## HOLD", replies.To(1));
  ASSERT_TRUE(box.WaitForUtilityLines(1));
  for (int i = 0; i < 3; ++i) relay.Relay(1, "## LATER", replies.To(1));
  relay.ViewerLeft(1);
  gated.gate->Open();
  ASSERT_TRUE(replies.WaitForCount(1));  // the exchange in progress ran to its end
  relay.Relay(2, "## AFTER", replies.To(2));
  ASSERT_TRUE(replies.WaitForCount(2));
  EXPECT_EQ(box.UtilityLines(), (std::vector<std::string>{"GC HOLD\r\n", "GC AFTER\r\n"}));
}

// The relay behind a running data server: viewers on loopback.
class RelayThroughDataServer : public ::testing::Test {
 protected:
  void Start() {
    box = std::make_unique<FakeBox>("127.0.0.2");
    Serve("127.0.0.2", box->UtilityPort(), 2s);
  }

  // Viewers on a data server whose relay sends to `boxAddress`:`boxPort`.
  void Serve(const std::string& boxAddress, uint16_t boxPort,
             std::chrono::milliseconds openTimeout) {
    relay = std::make_unique<CViewerCommandRelay>(boxAddress, boxPort, openTimeout);
    server = std::make_unique<CDataServer>(0, &notices, "127.0.0.1", 2s);
    server->SetCommandRelay(relay.get());
    ASSERT_TRUE(server->Start());
    for (auto* viewer : {&first, &second}) {
      ASSERT_TRUE(viewer->Connect("127.0.0.1", server->Port()));
    }
    ASSERT_TRUE(notices.WaitForCount<ClientConnectionNotice>(2));
    Publish("0\r\n");
  }

  void TearDown() override {
    if (server) server->Stop();  // the relay outlives the server's stop
    server.reset();
    relay.reset();
  }

  void Publish(const std::string& line) {
    server->Publish(SavedText::DataLine, line);
    for (auto* viewer : {&first, &second}) ExpectLine(*viewer, line);
  }

  static void ExpectLine(testkit::TextClient& viewer, const std::string& expected) {
    std::string line;
    ASSERT_TRUE(viewer.ReadLine(line, 10s)) << "waiting for " << expected;
    EXPECT_EQ(line, expected);
  }

  testkit::RecordingNoticeSink notices;
  std::unique_ptr<FakeBox> box;
  std::unique_ptr<CViewerCommandRelay> relay;
  std::unique_ptr<CDataServer> server;
  testkit::TextClient first;
  testkit::TextClient second;
};

TEST_F(RelayThroughDataServer, AnswerGoesToTheSendingViewerAlone) {
  Start();
  box->SetUtilityResponder([](const std::string& line) {
    return "# status\r\nExtended Command done " + std::to_string(line.size()) +
           "\r\nDone\r\n";
  });
  ASSERT_TRUE(first.Send("## STATUS\r\n"));
  ExpectLine(first, "## DCC OK_OT # status.Extended Command done 12.Done.\r\n");
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GC STATUS\r\r\n"});
  Publish("1\r\n");  // the second viewer's next line is data, not the answer
}

TEST_F(RelayThroughDataServer, DataKeepsFlowingWhileARelayWaitsOnASilentBox) {
  Start();
  box->SetUtilityResponder([](const std::string&) { return std::string(); });
  ASSERT_TRUE(first.Send("## WAIT\r\n"));
  ASSERT_TRUE(box->WaitForUtilityLines(1));
  ASSERT_TRUE(second.Send("## ALSO\r\n"));
  for (int i = 1; i <= 20; ++i) Publish(std::to_string(i) + "\r\n");
  // Nothing has been answered yet: the box acknowledges neither command.
  EXPECT_EQ(first.Buffered(), "");
  EXPECT_EQ(second.Buffered(), "");
}

TEST_F(RelayThroughDataServer, TwoViewersAskingAnAbsentBoxAtOnceAreAnsweredWithinOneRelayTime) {
  constexpr auto kOpenTimeout = 1500ms;
  const testkit::UnansweredPort absentBox("127.0.0.3");  // each relay waits out its connect
  Serve("127.0.0.3", absentBox.Port(), kOpenTimeout);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(first.Send("## ONE\r\n"));
  ASSERT_TRUE(second.Send("## TWO\r\n"));
  ExpectLine(first, kTimeoutReply);
  ExpectLine(second, kTimeoutReply);
  // One after the other would take two relay times at the least.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * kOpenTimeout);
}

}  // namespace
}  // namespace tessamer
