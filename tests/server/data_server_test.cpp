#include "server/data_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cctype>
#include <filesystem>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "server/data_publisher.h"
#include "support/error_numbers.h"
#include "support/text.h"
#include "testkit/environment.h"
#include "testkit/health_wait.h"
#include "testkit/log_capture.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::TextClient;

constexpr bool kJoined = true;  // a viewer's connection notice on connecting
constexpr bool kLeft = false;   // and on leaving

// The connection notices of viewers that connected (`connected`) or left.
std::vector<ClientConnectionNotice> ConnectionNotices(const std::vector<Notice>& notices,
                                                      bool connected) {
  std::vector<ClientConnectionNotice> matching;
  for (const auto& n : testkit::RecordingNoticeSink::OfKind<ClientConnectionNotice>(notices)) {
    if (n.connected == connected) matching.push_back(n);
  }
  return matching;
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// A viewer on 127.0.0.1:`port`; a `receiveBuffer` above 0 shrinks its receive buffer.
std::unique_ptr<TextClient> ConnectViewer(uint16_t port, int receiveBuffer = 0) {
  auto client = std::make_unique<TextClient>();
  EXPECT_TRUE(client->Connect("127.0.0.1", port, 5s, receiveBuffer));
  return client;
}

// Occupies `count` of a server's workers until released (at the latest when destroyed).
class WorkerHold {
 public:
  WorkerHold(asio::io_context::executor_type workers, int count) {
    for (int i = 0; i < count; ++i) {
      auto running = std::make_shared<std::promise<void>>();
      started.push_back(running->get_future());
      asio::post(workers, [running, released = released] {
        running->set_value();
        released.wait();
      });
    }
  }
  ~WorkerHold() { Release(); }
  bool WaitRunning() {
    return std::all_of(started.begin(), started.end(), [](auto& running) {
      return running.wait_for(10s) == std::future_status::ready;
    });
  }
  void Release() {
    if (!releasedOnce) release.set_value();
    releasedOnce = true;
  }

 private:
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool releasedOnce = false;
  std::vector<std::future<void>> started;
};

class DataServerTest : public ::testing::Test {
 protected:
  void StartServer(size_t queueLimit = kMaxQueuedBytes, std::chrono::milliseconds stopWait = 5s,
                   INoticeSink* window = nullptr) {
    server = std::make_unique<CDataServer>(0, window ? window : &sink, "127.0.0.1", stopWait,
                                           queueLimit);
    ASSERT_TRUE(server->Start()) << Narrow(server->LastError().text);
    port = server->Port();
    ASSERT_NE(port, 0);
  }

  // Connects a viewer and waits until the server has set it up (its connection notice).
  std::unique_ptr<TextClient> Connect(int receiveBuffer = 0) {
    const size_t before = Seen(kJoined);
    auto client = ConnectViewer(port, receiveBuffer);
    EXPECT_TRUE(sink.WaitFor(
        [&](const auto& notices) { return ConnectionNotices(notices, kJoined).size() > before; }));
    return client;
  }
  size_t Seen(bool connected) const { return ConnectionNotices(sink.Notices(), connected).size(); }
  uintptr_t LastSocketValue(bool connected) const {
    return ConnectionNotices(sink.Notices(), connected).back().socket;
  }
  bool WaitDisconnections(size_t count) {
    return sink.WaitFor(
        [&](const auto& notices) { return ConnectionNotices(notices, kLeft).size() >= count; });
  }
  void Publish(SavedText which, const std::string& text) { server->Publish(which, text); }

  testkit::RecordingNoticeSink sink;
  std::unique_ptr<CDataServer> server;
  uint16_t port = 0;
};

TEST_F(DataServerTest, AnEarlyClientGetsEachTextALateOneTheHeaderAndLastLineFirst) {
  StartServer();
  auto early = Connect();
  const ClientConnectionNotice notice = ConnectionNotices(sink.Notices(), kJoined).back();
  EXPECT_EQ(notice.port, port);
  for (const char* line : {"D1\r\n", "D2\r\n"}) Publish(SavedText::DataLine, line);
  Publish(SavedText::Header, "#H1\r\n");
  Publish(SavedText::DataLine, "D3\r\n");
  auto late = Connect();
  Publish(SavedText::DataLine, "D4\r\n");
  Publish(SavedText::Header, "#H2\r\n");
  const std::string all = "D1\r\nD2\r\n#H1\r\nD3\r\nD4\r\n#H2\r\n";
  ASSERT_TRUE(early->WaitForBytes(all.size()));
  EXPECT_EQ(early->Buffered(), all);
  const std::string fromJoining = "#H1\r\nD3\r\nD4\r\n#H2\r\n";
  ASSERT_TRUE(late->WaitForBytes(fromJoining.size()));
  EXPECT_EQ(late->Buffered(), fromJoining);
}

TEST_F(DataServerTest, TwoClientsGetTheSameBytesInTheSameOrder) {
  StartServer(kMaxQueuedBytes, 5s, nullptr);
  auto first = Connect();
  auto second = Connect();
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    const std::string line = "line " + std::to_string(i) + "\r\n";
    Publish(SavedText::DataLine, line);
    expected += line;
  }
  ASSERT_TRUE(first->WaitForBytes(expected.size()));
  ASSERT_TRUE(second->WaitForBytes(expected.size()));
  EXPECT_EQ(first->Buffered(), expected);
  EXPECT_EQ(second->Buffered(), expected);
}

TEST_F(DataServerTest, ClientsConnectingWhileTextsArePublishedMissNoneAndGetNoneTwice) {
  StartServer();
  constexpr int kLines = 20000;
  std::atomic<bool> go{false};
  std::thread publisher([&] {
    while (!go) std::this_thread::yield();
    Publish(SavedText::Header, "H\n");
    for (int i = 1; i <= kLines; ++i) Publish(SavedText::DataLine, std::to_string(i) + "\n");
  });
  std::vector<std::unique_ptr<TextClient>> clients;
  go = true;
  for (int i = 0; i < 20; ++i) clients.push_back(ConnectViewer(port));
  publisher.join();
  const std::string last = "\n" + std::to_string(kLines) + "\n";
  for (auto& client : clients) {
    ASSERT_TRUE(client->ReceiveUntil([&](const std::string& r) {
      return r.size() >= last.size() && r.compare(r.size() - last.size(), last.size(), last) == 0;
    }));
    std::istringstream lines(client->Buffered());
    std::string line;
    std::getline(lines, line);
    ASSERT_EQ(line, "H");
    int previous = -1;
    while (std::getline(lines, line)) {
      const int number = std::stoi(line);
      if (previous >= 0) {
        ASSERT_EQ(number, previous + 1);
      }
      previous = number;
    }
    EXPECT_EQ(previous, kLines);
  }
}

TEST_F(DataServerTest, AHeaderOfNinetySixLongChannelsArrivesWhole) {
  CDataPublisher publisher;
  publisher.SetServer(std::make_unique<CDataServer>(0, &sink, "127.0.0.1"), 0);
  ASSERT_TRUE(publisher.StartServer());
  port = publisher.Server()->Port();
  Header header;
  header.count = MaxChannels;
  for (int i = 0; i < MaxChannels; ++i) {
    const std::wstring name = L"A_rather_long_channel_name_for_the_test_" + std::to_wstring(i);
    CopyText(header.names[i], std::wstring_view(name));
    CopyText(header.units[i], std::wstring_view(L"unitname"));
    header.variables[i] = 1000 + i;
  }
  const std::string block = CDataPublisher::HeaderBlock(header);
  ASSERT_GT(block.size(), kReceiveChunk);
  auto client = Connect();
  publisher.PublishHeader(header);
  Data data{};
  data.time.tm_year = 109;
  data.time.tm_mday = 1;
  data.count = 1;
  publisher.PublishData(data);
  const std::string expected = block + "01/01/09 00:00:00 0.0000 \r\n";
  ASSERT_TRUE(client->WaitForBytes(expected.size()));
  EXPECT_EQ(client->Buffered(), expected);
}

TEST_F(DataServerTest, TenTextsPublishedDuringASlowSendArriveInOrderAfterIt) {
  StartServer();
  auto client = Connect(4096);
  std::string expected(1 << 20, 'b');  // more than the socket buffers hold: the send waits
  Publish(SavedText::DataLine, expected);
  for (int i = 0; i < 10; ++i) {
    const std::string text = "after " + std::to_string(i) + "\r\n";
    Publish(SavedText::DataLine, text);
    expected += text;
  }
  ASSERT_TRUE(client->WaitForBytes(expected.size()));
  EXPECT_EQ(client->Buffered(), expected);
}

TEST_F(DataServerTest, AClientThatLeavesGivesExactlyOneDisconnectionNotice) {
  StartServer();
  auto leaving = Connect();
  const uintptr_t socketValue = LastSocketValue(kJoined);
  leaving->Close();
  ASSERT_TRUE(WaitDisconnections(1));
  // Texts published after it left, and another client's whole life, add no notice for it.
  Publish(SavedText::DataLine, "after\r\n");
  auto staying = Connect();
  Publish(SavedText::DataLine, "sync\r\n");
  ASSERT_TRUE(staying->WaitForBytes(13));
  const auto gone = ConnectionNotices(sink.Notices(), kLeft);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].socket, socketValue);
  EXPECT_EQ(gone[0].port, port);
  EXPECT_TRUE(gone[0].peer.empty());
  EXPECT_EQ(server->ConnectedCount(), 1u);

  server->Stop();
  const size_t afterStop = sink.Notices().size();
  EXPECT_EQ(ConnectionNotices(sink.Notices(), kLeft).size(), 2u);
  server.reset();
  EXPECT_EQ(sink.Notices().size(), afterStop);
}

TEST_F(DataServerTest, StopResetsConnectedClientsAndReturnsPromptly) {
  StartServer();
  std::vector<std::unique_ptr<TextClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect());
  Publish(SavedText::DataLine, std::string(1 << 20, 'x'));  // sends outstanding
  const auto start = std::chrono::steady_clock::now();
  server->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  for (auto& client : clients) {
    ASSERT_TRUE(client->WaitClosed(10s));
    // Wine ends a connection reset by its peer as an orderly close.
    if (!testkit::UnderWine()) {
      EXPECT_EQ(client->EndError(), asio::error::connection_reset);
    }
  }
  EXPECT_EQ(server->ConnectedCount(), 0u);
  // Nobody is accepted any more.
  asio::io_context io;
  asio::ip::tcp::socket probe(io);
  asio::error_code failure;
  probe.connect({asio::ip::make_address("127.0.0.1"), port}, failure);
  EXPECT_EQ(failure, asio::error::connection_refused);
}

TEST_F(DataServerTest, StopReturnsAfterItsWaitWhenAWorkerDoesNotEnd) {
  StartServer(kMaxQueuedBytes, 200ms);
  auto client = Connect();
  WorkerHold hold(server->Executor(), 1);
  ASSERT_TRUE(hold.WaitRunning());
  const auto start = std::chrono::steady_clock::now();
  server->Stop();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 3s);
  const size_t notices = sink.Notices().size();
  hold.Release();
  server.reset();
  // The client was reset by the worker that did end, and nothing is posted after Stop.
  ASSERT_TRUE(client->WaitClosed(10s));
  EXPECT_EQ(sink.Notices().size(), notices);
}

TEST_F(DataServerTest, AnIdleClientIsWrittenToByThePublisherWhileEveryWorkerIsBusy) {
  StartServer();
  auto client = Connect();
  Publish(SavedText::Header, "#H\r\n");
  ASSERT_TRUE(client->WaitForBytes(4));
  WorkerHold hold(server->Executor(), kWorkerCount);
  ASSERT_TRUE(hold.WaitRunning());
  Publish(SavedText::DataLine, "D1\r\n");
  EXPECT_TRUE(client->WaitForBytes(8, 5s));
  EXPECT_EQ(client->Buffered(), "#H\r\nD1\r\n");
}

TEST_F(DataServerTest, WithoutAWindowClientsAreServed) {
  server = std::make_unique<CDataServer>(0, nullptr, "127.0.0.1");
  ASSERT_TRUE(server->Start());
  Publish(SavedText::Header, "#H\r\n");
  TextClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
  ASSERT_TRUE(client.WaitForBytes(4));  // set up: the saved header came
  Publish(SavedText::DataLine, "D\r\n");
  ASSERT_TRUE(client.WaitForBytes(7));
  EXPECT_EQ(client.Buffered(), "#H\r\nD\r\n");
  client.Close();
}

TEST_F(DataServerTest, StartOnAPortInUseFailsWithTheSystemText) {
  StartServer();
  CDataServer second(port, &sink, "127.0.0.1");
  EXPECT_FALSE(second.Start());
  const ErrorInfo error = second.LastError();
  EXPECT_TRUE(error.failed);
  EXPECT_EQ(error.code, kWsaAddressInUse);
  std::string text = SystemMessageText(kWsaAddressInUse);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (!testkit::UnderWine()) {  // Wine has no text for 10048
    EXPECT_FALSE(text.empty());
  }
  EXPECT_EQ(error.text, Widen(text));
  CDataServer badAddress(0, &sink, "not an address");
  EXPECT_FALSE(badAddress.Start());
  EXPECT_TRUE(badAddress.LastError().failed);
}

TEST_F(DataServerTest, AThousandConnectionsLeaveDescriptorsBounded) {
  if (testkit::UnderWine()) {
    GTEST_SKIP() << "Wine keeps descriptors of closed sockets open beyond this test's bound";
  }
  StartServer();
  const size_t descriptors = OpenDescriptors();
  for (int i = 1; i <= 1000; ++i) {
    auto client = Connect();
    client->Close();
    ASSERT_TRUE(WaitDisconnections(static_cast<size_t>(i))) << i;
  }
  EXPECT_LE(OpenDescriptors(), descriptors + 2);
  EXPECT_EQ(server->ConnectedCount(), 0u);
  EXPECT_EQ(Seen(kJoined), 1000u);
  EXPECT_EQ(Seen(kLeft), 1000u);
}

TEST_F(DataServerTest, AStuckClientOverTheCapIsClosedWhileAnotherKeepsUp) {
  testkit::LogCapture log;
  constexpr size_t kCap = 256 * 1024;
  StartServer(kCap);
  auto stuck = Connect(4096);
  const uintptr_t stuckSocket = LastSocketValue(kJoined);
  const uint16_t stuckPort = stuck->LocalPort();
  auto reader = Connect();
  std::string expected;
  int published = 0;
  for (; published < 4000 && Seen(kLeft) == 0; ++published) {
    std::string text(16 * 1024, static_cast<char>('a' + published % 26));
    text += std::to_string(published) + "\n";
    Publish(SavedText::DataLine, text);
    expected += text;
    ASSERT_TRUE(reader->WaitForBytes(expected.size()));
  }
  ASSERT_TRUE(WaitDisconnections(1));
  EXPECT_LT(published, 4000);
  const auto gone = ConnectionNotices(sink.Notices(), kLeft);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].socket, stuckSocket);
  EXPECT_EQ(reader->Buffered(), expected);
  // The reader goes on being served.
  Publish(SavedText::DataLine, "still here\n");
  ASSERT_TRUE(reader->WaitForBytes(expected.size() + 11));
  EXPECT_TRUE(stuck->WaitClosed(10s));
  EXPECT_EQ(server->ConnectedCount(), 1u);

  // Its figures: the reader is served in full (each text counts once the socket has all of it),
  // the stuck viewer is kept as one closed for falling behind.
  const uint64_t texts = static_cast<uint64_t>(published) + 1;
  std::vector<ViewerHealth> viewers;
  testkit::WaitForSnapshot<std::vector<ViewerHealth>>(
      [&] { return server->Viewers(); },
      [&](const auto& all) { return all.size() == 2 && all[0].linesSent >= texts; }, 10s, &viewers);
  ASSERT_EQ(viewers.size(), 2u);
  const ViewerHealth& served = viewers[0];
  EXPECT_TRUE(served.connected);
  EXPECT_FALSE(served.closedForFallingBehind);
  EXPECT_EQ(served.peerAddress, "127.0.0.1");
  EXPECT_EQ(served.peerPort, reader->LocalPort());
  EXPECT_EQ(served.linesSent, texts);
  EXPECT_EQ(served.bytesSent, expected.size() + 11);
  EXPECT_EQ(served.bytesQueued, 0u);
  EXPECT_LE(served.connectedSince, WallClock::now());
  const ViewerHealth& behind = viewers[1];
  EXPECT_FALSE(behind.connected);
  EXPECT_TRUE(behind.closedForFallingBehind);
  EXPECT_EQ(behind.socket, static_cast<int64_t>(stuckSocket));
  EXPECT_EQ(behind.peerPort, stuckPort);
  EXPECT_LT(behind.linesSent, texts);
  // The connection notice names the viewer.
  const auto joined = ConnectionNotices(sink.Notices(), kJoined);
  EXPECT_EQ(joined.back().peer, L"127.0.0.1:" + std::to_wstring(reader->LocalPort()));
  EXPECT_TRUE(log.Contains("bytes waiting to be sent")) << log.Text();
}

TEST_F(DataServerTest, BadInputFromOneClientLeavesTheOthersServed) {
  StartServer();
  auto noisy = Connect();
  auto reader = Connect();
  std::thread noise([&] {
    noisy->Send(std::string(1 << 20, 'n'));  // 1 MiB without a line feed
    std::string binary;
    for (int i = 0; i < 65536; ++i) binary += static_cast<char>((i * 131 + 7) % 256);
    noisy->Send(binary);
    std::string flood;
    for (int i = 0; i < 10000; ++i) flood += "\nOxflood" + std::to_string(i) + "=1";
    noisy->Send(flood + "\nOxlast=1\n");
  });
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string line = "data " + std::to_string(i) + "\r\n";
    Publish(SavedText::DataLine, line);
    expected += line;
  }
  ASSERT_TRUE(reader->WaitForBytes(expected.size()));
  EXPECT_EQ(reader->Buffered(), expected);
  noise.join();
  ASSERT_TRUE(sink.WaitFor([](const auto& notices) {
    const auto* offset =
        notices.empty() ? nullptr : std::get_if<ClientOffsetNotice>(&notices.back());
    return offset != nullptr && offset->name == L"last";
  }));
  EXPECT_GE(sink.CountOf<ClientOffsetNotice>(), 10001u);
  EXPECT_EQ(Seen(kLeft), 0u);
}

// Records the relayed commands and lets the test answer them from its own thread.
class RecordingRelay : public ICommandRelay {
 public:
  void Relay(ViewerId viewer, std::string command,
             std::function<void(std::string)> reply) override {
    {
      std::lock_guard guard(mutex);
      viewers.push_back(viewer);
      commands.push_back(std::move(command));
      replies.push_back(std::move(reply));
    }
    changed.notify_all();
  }
  void ViewerLeft(ViewerId viewer) override {
    std::lock_guard guard(mutex);
    left.push_back(viewer);
  }
  bool WaitFor(size_t count) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, 10s, [&] { return commands.size() >= count; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ViewerId> viewers;
  std::vector<std::string> commands;
  std::vector<std::function<void(std::string)>> replies;
  std::vector<ViewerId> left;
};

TEST_F(DataServerTest, ACommandLineIsRelayedAndTheReplyReachesTheSenderAlone) {
  RecordingRelay relay;
  server = std::make_unique<CDataServer>(0, &sink, "127.0.0.1");
  server->SetCommandRelay(&relay);
  ASSERT_TRUE(server->Start());
  port = server->Port();
  auto asking = Connect();
  auto other = Connect();
  asking->Send("Oxname=1\r\nnothing\r\n## CQ 1\r\n");
  ASSERT_TRUE(relay.WaitFor(1));
  EXPECT_EQ(relay.commands[0], "## CQ 1\r");
  other->Send("## CQ 2\r\n");
  ASSERT_TRUE(relay.WaitFor(2));
  EXPECT_NE(relay.viewers[0], relay.viewers[1]);
  relay.replies[0]("## DCC OK_OT fine\r\n");
  Publish(SavedText::DataLine, "sync\r\n");
  ASSERT_TRUE(asking->WaitForBytes(25));
  EXPECT_EQ(asking->Buffered(), "## DCC OK_OT fine\r\nsync\r\n");
  ASSERT_TRUE(other->WaitForBytes(6));

  // The relay learns that the client left; a reply for it, or after the server stopped or
  // went, is dropped.
  asking->Close();
  ASSERT_TRUE(WaitDisconnections(1));
  {
    std::lock_guard guard(relay.mutex);
    EXPECT_EQ(relay.left, std::vector<ViewerId>{relay.viewers[0]});
  }
  relay.replies[0]("## DCC OK_OT late\r\n");
  Publish(SavedText::DataLine, "sync2\r\n");
  ASSERT_TRUE(other->WaitForBytes(13));
  EXPECT_EQ(other->Buffered(), "sync\r\nsync2\r\n");
  server->Stop();
  relay.replies[0]("## DCC OK_OT stopped\r\n");
  server.reset();
  relay.replies[0]("## DCC OK_OT gone\r\n");
}

}  // namespace
}  // namespace tessamer
