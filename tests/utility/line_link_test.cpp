#include "utility/line_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/error_numbers.h"
#include "support/exceptions.h"
#include "testkit/fake_box.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using testkit::NetworkAddress;

// A link connected to a peer socket that the test drives by hand on its own thread.
class LineLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    acceptor.open(tcp::v4());
    acceptor.bind({asio::ip::make_address_v4("127.0.0.1"), 0});
    acceptor.listen();
  }

  void ConnectLink(const std::wstring& logName = {}) {
    ASSERT_TRUE(link.Connect(NetworkAddress("127.0.0.1"), acceptor.local_endpoint().port(),
                             logName));
    acceptor.accept(peer);
  }

  void PeerSends(const std::string& text) { asio::write(peer, asio::buffer(text)); }

  std::string PeerReads(size_t count) {
    std::string text(count, '\0');
    asio::read(peer, asio::buffer(text));
    return text;
  }

  std::string ReadLine(size_t size = 256) {
    std::vector<char> out(size + 1, 'Z');
    const size_t n = link.ReadLine(out.data(), size);
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
  }

  asio::io_context io;
  tcp::acceptor acceptor{io};
  tcp::socket peer{io};
  LineLink link;
};

TEST_F(LineLinkTest, LinesLoseTheirEndsAndSplitReceivesJoin) {
  ConnectLink();
  PeerSends("GS 12 3.5\r\nsecond\nthird without end");
  EXPECT_EQ(ReadLine(), "GS 12 3.5");
  EXPECT_EQ(ReadLine(), "second");
  PeerSends(" yet\r\n\r\n\n");
  EXPECT_EQ(ReadLine(), "third without end yet");
  EXPECT_EQ(ReadLine(), "");  // "\r\n" alone
  EXPECT_EQ(ReadLine(), "");  // "\n" alone
}

TEST_F(LineLinkTest, LongLineIsCutAndItsRestDropped) {
  ConnectLink();
  PeerSends("abcdefgh\nnext\nab\rdef\nlast\n");
  EXPECT_EQ(ReadLine(4), "abc");
  EXPECT_EQ(ReadLine(4), "nex");
  // A cut that ends on a carriage return loses it like a line end.
  EXPECT_EQ(ReadLine(4), "ab");
  EXPECT_EQ(ReadLine(4), "las");
}

TEST_F(LineLinkTest, ReadLineIntoNothingTouchesNoMemory) {
  ConnectLink();
  PeerSends("line\n");
  char guard = 'G';
  EXPECT_EQ(link.ReadLine(&guard, 0), 0u);
  EXPECT_EQ(guard, 'G');
  EXPECT_EQ(ReadLine(), "line");
}

TEST_F(LineLinkTest, FullReadAheadWithoutLineFeedIsDropped) {
  ConnectLink();
  // 5000 bytes without a line feed: the first 4095 are dropped, the rest starts the line.
  PeerSends(std::string(5000, 'x') + "\n");
  const std::string line = ReadLine(8192);
  EXPECT_EQ(line, std::string(5000 - 4095, 'x'));
}

TEST_F(LineLinkTest, UnconsumedBytesMoveToMakeRoom) {
  ConnectLink();
  // A short line, then a line that only fits once the first line's room is reused.
  PeerSends("ok\n" + std::string(4000, 'y') + "\n");
  EXPECT_EQ(ReadLine(), "ok");
  EXPECT_EQ(ReadLine(8192), std::string(4000, 'y'));
}

TEST_F(LineLinkTest, ReceiveTimesOutWithZeroAndReportsAClosedPeer) {
  ConnectLink();
  link.receiveTimeoutMs = 50;
  char buffer[16];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.Receive(buffer, sizeof buffer), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
  EXPECT_EQ(ReadLine(), "");  // a time-out reads as an empty line

  peer.close();
  try {
    link.Receive(buffer, sizeof buffer);
    FAIL() << "a closed peer must throw";
  } catch (const socket_exception& e) {
    EXPECT_EQ(e.error_code(), kWsaNotConnected);
  }
}

TEST_F(LineLinkTest, CaptureKeepsChunksInOrderOnlyWhileEnabled) {
  ConnectLink();
  char buffer[64];
  PeerSends("before ");
  EXPECT_GT(link.Receive(buffer, sizeof buffer), 0u);
  link.captureEnabled = true;
  std::string expected;
  for (const std::string chunk : {"Extended ", "Command done 6\r\n", "Done\r\n"}) {
    PeerSends(chunk);
    size_t got = 0;
    while (got < chunk.size()) got += link.Receive(buffer, sizeof buffer);
    expected += chunk;
  }
  EXPECT_EQ(link.capture, expected);
}

TEST_F(LineLinkTest, CaptureStopsGrowingAtFourMebibytes) {
  ConnectLink();
  link.captureEnabled = true;
  const size_t total = kCaptureLimit + 300000;
  std::thread writer([&] { PeerSends(std::string(total, 'c')); });
  std::vector<char> buffer(65536);
  size_t received = 0;
  while (received < total) {
    const size_t n = link.Receive(buffer.data(), buffer.size());
    ASSERT_GT(n, 0u);
    received += n;
  }
  writer.join();
  EXPECT_GE(link.capture.size(), kCaptureLimit);
  EXPECT_LT(link.capture.size(), kCaptureLimit + buffer.size());
}

TEST_F(LineLinkTest, DiscardBeforeSendDropsUnreadInput) {
  ConnectLink();
  PeerSends("one\nstale\n");
  EXPECT_EQ(ReadLine(), "one");
  link.discardBeforeSend = true;
  EXPECT_EQ(link.Send("GA 1\r\n"), 6u);
  EXPECT_EQ(PeerReads(6), "GA 1\r\n");
  PeerSends("fresh\n");
  EXPECT_EQ(ReadLine(), "fresh");
}

TEST_F(LineLinkTest, DrainInputDiscardsWithoutCaptureAndLinkStaysUsable) {
  ConnectLink();
  link.captureEnabled = true;
  link.receiveTimeoutMs = 2000;
  PeerSends("ignored help text\r\n");
  // Wait for the bytes to arrive without consuming them.
  ASSERT_EQ(link.WaitReadable(), 1);
  link.DrainInput();
  EXPECT_EQ(link.capture, "");
  link.DrainInput();  // nothing pending: returns at once
  PeerSends("after\n");
  EXPECT_EQ(ReadLine(), "after");

  peer.close();
  ASSERT_EQ(link.WaitReadable(), 1);
  EXPECT_THROW(link.DrainInput(), socket_exception);
}

TEST_F(LineLinkTest, ConnectWhileConnectedThrowsAndKeepsTheConnection) {
  ConnectLink();
  EXPECT_THROW(link.Connect(NetworkAddress("127.0.0.1"), acceptor.local_endpoint().port(), {}),
               already_connected_exception);
  link.Send("still\n");
  EXPECT_EQ(PeerReads(6), "still\n");
}

TEST_F(LineLinkTest, CloseAllowsANewConnection) {
  ConnectLink();
  link.captureEnabled = true;
  link.receiveTimeoutMs = 77;
  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(link.captureEnabled);
  EXPECT_EQ(link.receiveTimeoutMs, kLinkDefaultTimeoutMs);
  peer.close();
  ConnectLink();
  link.Send("again\n");
  EXPECT_EQ(PeerReads(6), "again\n");
}

TEST_F(LineLinkTest, AbortEndsAnUnlimitedReceiveFromAnotherThread) {
  ConnectLink();
  link.receiveTimeoutMs = 0;  // no limit: only Abort can end this wait
  std::thread aborter([this] { link.Abort(); });
  char buffer[8];
  try {
    link.Receive(buffer, sizeof buffer);
    ADD_FAILURE() << "an aborted receive must throw";
  } catch (const socket_exception& e) {
    EXPECT_EQ(e.error_code(), kWsaInterrupted);
  }
  aborter.join();
  EXPECT_THROW(link.Send("x"), socket_exception);
}

TEST(LineLinkConnect, RefusedConnectionEndsAsTimeoutAfterConnectTimeout) {
  // A bound port that does not listen refuses at once.
  asio::io_context io;
  tcp::acceptor bound(io);
  bound.open(tcp::v4());
  bound.bind({asio::ip::make_address_v4("127.0.0.2"), 0});
  LineLink link;
  link.connectTimeoutMs = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(link.Connect(NetworkAddress("127.0.0.2"), bound.local_endpoint().port(), {}),
               timeout_exception);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
  EXPECT_FALSE(link.IsOpen());
}

TEST(LineLinkConnect, UnansweredConnectionTimesOut) {
  // A listener with a full backlog that never accepts leaves further connects unanswered.
  asio::io_context io;
  tcp::acceptor full(io);
  full.open(tcp::v4());
  full.bind({asio::ip::make_address_v4("127.0.0.3"), 0});
  full.listen(0);
  tcp::socket filler(io);
  filler.connect(full.local_endpoint());
  LineLink link;
  link.connectTimeoutMs = 200;
  try {
    link.Connect(NetworkAddress("127.0.0.3"), full.local_endpoint().port(), {});
    FAIL() << "expected a time-out";
  } catch (const timeout_exception& e) {
    EXPECT_STREQ(e.what(), "A timeout occurred while waiting for an operation to complete");
    EXPECT_EQ(e.error_code(), 0);
  }
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(LineLinkTest, TrafficLogLinesAndAppending) {
#if defined(_WIN32)
  GTEST_SKIP() << "the traffic log is a text-mode file; Windows writes its line ends as CR LF, "
                  "which this byte pattern does not expect";
#endif
  const auto path = std::filesystem::temp_directory_path() /
                    ("tessamer_line_link_" +
                     std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                     ".log");
  { std::ofstream(path) << "earlier\n"; }
  {
    LineLink logged;
    ASSERT_TRUE(logged.Connect(NetworkAddress("127.0.0.1"), acceptor.local_endpoint().port(),
                               path.wstring()));
    acceptor.accept(peer);
    logged.Send("GA 5\r\n");
    PeerSends("reply\n");
    char line[32];
    EXPECT_EQ(logged.ReadLine(line, sizeof line), 5u);
  }
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  in.close();  // Windows removes no open file
  std::filesystem::remove(path);
  const std::regex expected(
      "earlier\n"
      "\\d\\d:\\d\\d:\\d\\d OP:File opened\n"
      "\\d\\d:\\d\\d:\\d\\d TX:GA 5\r\n\n"
      "\\d\\d:\\d\\d:\\d\\d RX:reply\n\n"
      "\\d\\d:\\d\\d:\\d\\d XX:Closing file\n");
  EXPECT_TRUE(std::regex_match(content.str(), expected)) << content.str();
}

TEST(LineLinkConnect, LogFileThatCannotBeOpenedThrowsBeforeConnecting) {
  LineLink link;
  EXPECT_THROW(link.Connect(NetworkAddress("127.0.0.1"), 1, L"/nonexistent-dir/traffic.log"),
               logfile_exception);
  EXPECT_FALSE(link.IsOpen());
}

}  // namespace
}  // namespace tessamer
