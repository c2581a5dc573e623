#include "server/context_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

CContextPool::Clock::time_point FakeNow() { return CContextPool::Clock::time_point{} + 1h; }

// A pace that has measured a publisher far too slow to write at once.
CPublisherPace BehindPace() {
  CPublisherPace pace;
  pace.Written(1h, 1);
  return pace;
}

// The server as the pool and its viewers see it: it records what the pool asks for, and joins
// and leaves viewers to and from the pool.
class FakeServer : public IViewerIo, public IViewerOwner {
 public:
  void RequestSends(ViewerList viewers) override {
    sends.insert(sends.end(), viewers.begin(), viewers.end());
  }
  void RequestStartHeld(std::chrono::steady_clock::duration delay) override {
    EXPECT_EQ(delay, kMaxGatherDelay);  // what the pace measured is far too slow
    ++startHeldRequests;
  }
  bool Join(const std::shared_ptr<CViewerConnection>& viewer) override {
    return pool->Join(viewer);
  }
  void Left(CViewerConnection& viewer) override { pool->Leave(viewer); }
  void Command(const std::shared_ptr<CViewerConnection>&, std::string) override {}

  CContextPool* pool = nullptr;
  ViewerList sends;
  int startHeldRequests = 0;
};

// Viewers on loopback whose connections run on the test's thread (io.poll).
class ContextPoolTest : public ::testing::Test {
 protected:
  ContextPoolTest() { server.pool = &pool; }

  // A viewer whose connection is set up and has joined the pool; returns its peer.
  testkit::TextClient& AddViewer() {
    peers.push_back(std::make_unique<testkit::TextClient>());
    EXPECT_TRUE(peers.back()->Connect("127.0.0.1", acceptor.local_endpoint().port()));
    const size_t before = pool.ConnectedCount();
    connections.push_back(std::make_shared<CViewerConnection>(
        acceptor.accept(asio::make_strand(io)), server, peers.size(), nullptr));
    connections.back()->Start();
    Poll();
    EXPECT_EQ(pool.ConnectedCount(), before + 1);
    return *peers.back();
  }
  void Poll() {
    io.restart();
    io.poll();
  }
  // The send steps the pool asked for.
  void RunSends() {
    for (const auto& viewer : server.sends) viewer->RequestSend();
    server.sends.clear();
    Poll();
  }

  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};
  FakeServer server;
  CContextPool pool{server, BehindPace(), &FakeNow};  // before `io` is destroyed
  std::vector<std::unique_ptr<testkit::TextClient>> peers;
  ViewerList connections;
};

TEST_F(ContextPoolTest, HeldLinesGoInOneGatheringStepAndAViewerJoiningMeanwhileGetsEachOnce) {
  testkit::TextClient& first = AddViewer();
  testkit::TextClient& second = AddViewer();
  pool.Publish(SavedText::DataLine, "one\r\n");
  pool.Publish(SavedText::DataLine, "two\r\n");
  EXPECT_EQ(server.startHeldRequests, 1);  // one gathering step for both lines
  EXPECT_TRUE(server.sends.empty());
  testkit::TextClient& late = AddViewer();  // gets the saved line, not the held ones
  EXPECT_EQ(pool.Viewers()[0].bytesQueued, 10u);
  EXPECT_EQ(pool.Viewers()[2].bytesQueued, 0u);
  pool.StartHeld();
  EXPECT_EQ(server.sends.size(), 2u);
  RunSends();
  // A reply follows the lines held before it.
  pool.Publish(SavedText::DataLine, "three\r\n");
  EXPECT_EQ(server.startHeldRequests, 2);
  ASSERT_TRUE(pool.Reply(connections[1], "reply\r\n"));
  EXPECT_EQ(server.sends.size(), 3u);
  pool.StartHeld();  // nothing is left to hand over
  EXPECT_EQ(server.sends.size(), 3u);
  RunSends();
  const std::string all = "one\r\ntwo\r\nthree\r\n";
  ASSERT_TRUE(first.WaitForBytes(all.size()));
  EXPECT_EQ(first.Buffered(), all);
  ASSERT_TRUE(second.WaitForBytes(all.size() + 7));
  EXPECT_EQ(second.Buffered(), all + "reply\r\n");
  ASSERT_TRUE(late.WaitForBytes(12));
  EXPECT_EQ(late.Buffered(), "two\r\nthree\r\n");
  const std::vector<ViewerHealth> viewers = pool.Viewers();
  ASSERT_EQ(viewers.size(), 3u);
  EXPECT_EQ(viewers[0].linesSent, 3u);
  EXPECT_EQ(viewers[1].linesSent, 4u);
  EXPECT_EQ(viewers[2].linesSent, 2u);
  EXPECT_EQ(viewers[2].peerPort, late.LocalPort());
}

TEST_F(ContextPoolTest, AHeldLineJoinsASendNotYetBegunAndIsNotHandedOverAgain) {
  testkit::TextClient& first = AddViewer();
  testkit::TextClient& second = AddViewer();
  pool.Publish(SavedText::DataLine, "one\r\n");
  pool.StartHeld();  // both viewers' send steps are requested, not yet run
  pool.Publish(SavedText::DataLine, "two\r\n");  // joins both waiting sends
  server.sends[0]->RequestSend();  // only the first viewer's send goes
  Poll();
  pool.Publish(SavedText::DataLine, "three\r\n");  // the second's send still waits: it joins
  EXPECT_EQ(pool.Viewers()[0].bytesQueued, 7u);   // held for the first, whose send is done
  EXPECT_EQ(pool.Viewers()[1].bytesQueued, 17u);  // all in the second's waiting send
  server.sends.clear();
  pool.StartHeld();
  ASSERT_EQ(server.sends.size(), 1u);
  EXPECT_EQ(server.sends[0], connections[0]);
  connections[1]->RequestSend();
  RunSends();
  const std::string all = "one\r\ntwo\r\nthree\r\n";
  ASSERT_TRUE(first.WaitForBytes(all.size()));
  ASSERT_TRUE(second.WaitForBytes(all.size()));
  Poll();
  EXPECT_EQ(first.Buffered(), all);
  EXPECT_EQ(second.Buffered(), all);
  EXPECT_EQ(pool.Viewers()[0].linesSent, 3u);
  EXPECT_EQ(pool.Viewers()[1].linesSent, 3u);
}

}  // namespace
}  // namespace tessamer
