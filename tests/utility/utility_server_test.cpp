#include "utility/utility_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/error_numbers.h"
#include "support/text.h"
#include "testkit/descriptor_shortage.h"
#include "testkit/environment.h"
#include "testkit/log_capture.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::TextClient;

const std::string kGreeting(kUtilityGreeting);
using Calls = std::vector<std::optional<std::string>>;

// Routes each request to the lane named by its first word and records what arrives and what
// runs; std::nullopt stands for UtilitiesGone. A request beginning "hold" keeps its lane until
// Release(); "quiet ..." runs with an empty reply, "skip ..." has nothing to run; anything else is
// echoed in brackets.
class HandlerRecorder : public IUtilityRequestHandler {
 public:
  UtilityRequestWork RouteRequest(std::string_view request) override {
    const std::string line(request);
    {
      std::lock_guard<std::mutex> guard(mutex);
      routed.push_back(line);
    }
    changed.notify_all();
    if (line.rfind("skip", 0) == 0) return {};
    const std::string lane = line.substr(0, line.find(' '));
    return {lane, [this, line, lane](std::string& reply) { Run(line, lane, reply); }};
  }

  void UtilitiesGone() override {
    std::lock_guard<std::mutex> guard(mutex);
    calls.push_back(std::nullopt);
    changed.notify_all();
  }

  void Release() {
    std::lock_guard<std::mutex> guard(mutex);
    released = true;
    changed.notify_all();
  }

  Calls CallsMade() const {
    std::lock_guard<std::mutex> guard(mutex);
    return calls;
  }

  std::vector<std::string> Routed() const {
    std::lock_guard<std::mutex> guard(mutex);
    return routed;
  }

  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout = 10s) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return calls.size() >= count; });
  }

  bool WaitForRouted(size_t count, std::chrono::milliseconds timeout = 10s) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return routed.size() >= count; });
  }

  size_t EndCalls() const {
    std::lock_guard<std::mutex> guard(mutex);
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), std::nullopt));
  }

  int MostRunning() const {
    std::lock_guard<std::mutex> guard(mutex);
    return mostRunning;
  }

  int MostRunningInALane() const {
    std::lock_guard<std::mutex> guard(mutex);
    return mostInALane;
  }

 private:
  void Run(const std::string& line, const std::string& lane, std::string& reply) {
    if (line.rfind("quiet", 0) != 0) reply = "[" + line + "]\r\n";
    std::unique_lock<std::mutex> guard(mutex);
    calls.push_back(line);
    mostRunning = std::max(mostRunning, ++running);
    mostInALane = std::max(mostInALane, ++runningIn[lane]);
    changed.notify_all();
    if (line.rfind("hold", 0) == 0) changed.wait(guard, [this] { return released; });
    --running;
    --runningIn[lane];
  }

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> routed;
  Calls calls;
  int running = 0;
  int mostRunning = 0;
  std::map<std::string, int> runningIn;
  int mostInALane = 0;
  bool released = false;
};

class UtilityServerTest : public ::testing::Test {
 protected:
  ~UtilityServerTest() override {
    recorder.Release();  // a held request would keep the destruction waiting
    server.reset();
  }

  void StartServer(std::chrono::milliseconds idle = 10s,
                   std::chrono::milliseconds line = kUtilityLineTimeout) {
    server = std::make_unique<CUtilityServer>(recorder, "127.0.0.1", 0, idle, line);
    ASSERT_TRUE(server->Start()) << Narrow(server->GetErrorInfo().text);
    ASSERT_NE(server->Port(), 0);
  }

  void ConnectAndGreet(TextClient& client) {
    ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
    std::string greeting;
    ASSERT_TRUE(client.ReadBytes(kGreeting.size(), greeting));
    EXPECT_EQ(greeting, kGreeting);
  }

  std::vector<std::unique_ptr<TextClient>> ConnectUtilities(size_t count) {
    std::vector<std::unique_ptr<TextClient>> clients;
    for (size_t i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<TextClient>());
      ConnectAndGreet(*clients.back());
    }
    return clients;
  }

  // Sends `request` and expects its echo within `bound`.
  static void ExpectAnswer(TextClient& client, const std::string& request,
                           std::chrono::milliseconds bound = 10s) {
    ASSERT_TRUE(client.Send(request + "\r\n"));
    const std::string expected = "[" + request + "]\r\n";
    std::string reply;
    EXPECT_TRUE(client.ReadBytes(expected.size(), reply, bound)) << request;
    EXPECT_EQ(reply, expected);
  }

  HandlerRecorder recorder;
  std::unique_ptr<CUtilityServer> server;
};

TEST_F(UtilityServerTest, SilentUtilityGetsGreetingAndIsLetGoAfterIdleTime) {
  StartServer(300ms);
  TextClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server->Port()));
  const auto start = std::chrono::steady_clock::now();
  std::string received;
  ASSERT_TRUE(client.ReadToEnd(received, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
  EXPECT_EQ(received, kGreeting);
  ASSERT_TRUE(recorder.WaitForCalls(1));
  EXPECT_EQ(recorder.CallsMade(), Calls{std::nullopt});
}

TEST_F(UtilityServerTest, RequestLinesReachTheHandlerAndRepliesGoBackVerbatim) {
  StartServer();
  TextClient client;
  ConnectAndGreet(client);
  ExpectAnswer(client, "GS 12 3.5");
  // An empty reply, or nothing to run, sends nothing; the utility goes on with its next line.
  ASSERT_TRUE(client.Send("quiet GA 1\r\nskip GA 2\r\nGA 4\n"));
  std::string reply;
  ASSERT_TRUE(client.ReadBytes(8, reply));
  EXPECT_EQ(reply, "[GA 4]\r\n");
  ASSERT_TRUE(client.Send("\r\n"));  // an empty line ends the exchange
  EXPECT_TRUE(client.WaitClosed(10s));
  ASSERT_TRUE(recorder.WaitForCalls(4));
  EXPECT_EQ(recorder.CallsMade(), (Calls{"GS 12 3.5", "quiet GA 1", "GA 4", std::nullopt}));
  EXPECT_EQ(recorder.Routed(),
            (std::vector<std::string>{"GS 12 3.5", "quiet GA 1", "skip GA 2", "GA 4"}));
}

TEST_F(UtilityServerTest, LongRequestIsCutTo255Characters) {
  StartServer();
  TextClient client;
  ConnectAndGreet(client);
  std::string line = "quiet ";
  while (line.size() < 300) line += static_cast<char>('a' + line.size() % 26);
  ASSERT_TRUE(client.Send(line + "\r\nquiet next\r\n"));
  ASSERT_TRUE(recorder.WaitForCalls(2));
  const auto calls = recorder.CallsMade();
  ASSERT_TRUE(calls[0].has_value());
  EXPECT_EQ(*calls[0], line.substr(0, 255));
  EXPECT_EQ(calls[1], std::optional<std::string>("quiet next"));
}

TEST_F(UtilityServerTest, UtilitiesAreServedSideBySideUntilTheLastLeaves) {
  StartServer();
  TextClient first;
  ConnectAndGreet(first);
  TextClient second;
  ConnectAndGreet(second);  // greeted while the first is connected
  ExpectAnswer(first, "GA 1");
  ExpectAnswer(second, "GU 2");
  ASSERT_TRUE(first.Send("\n"));
  EXPECT_TRUE(first.WaitClosed(10s));
  // The box connections stay for the utility still connected: no call for the first's leaving
  // runs before the second's next request.
  ExpectAnswer(second, "GA 3");
  EXPECT_EQ(recorder.CallsMade(), (Calls{"GA 1", "GU 2", "GA 3"}));
  ASSERT_TRUE(second.Send("\n"));
  ASSERT_TRUE(recorder.WaitForCalls(4));
  EXPECT_EQ(recorder.CallsMade().back(), std::nullopt);
}

// A lane is held by its first request; one utility sends two lines back to back.
TEST_F(UtilityServerTest, LanesRunSideBySideEachInArrivalOrderAndAUtilitysRepliesInItsOrder) {
  StartServer();
  auto utilities = ConnectUtilities(4);
  ASSERT_TRUE(utilities[0]->Send("hold 1\r\nGB 4\r\n"));
  ASSERT_TRUE(recorder.WaitForCalls(1));
  ASSERT_TRUE(utilities[1]->Send("hold 2\r\n"));
  ASSERT_TRUE(recorder.WaitForRouted(2));
  ASSERT_TRUE(utilities[2]->Send("hold 3\r\n"));
  ASSERT_TRUE(recorder.WaitForRouted(3));
  // Another lane is served while the held one waits; the first utility's second line is not
  // taken before its first is answered.
  ExpectAnswer(*utilities[3], "GB 5");
  EXPECT_EQ(recorder.CallsMade(), (Calls{"hold 1", "GB 5"}));
  EXPECT_EQ(recorder.Routed(), (std::vector<std::string>{"hold 1", "hold 2", "hold 3", "GB 5"}));

  recorder.Release();
  std::string replies;
  ASSERT_TRUE(utilities[0]->ReadBytes(18, replies));
  EXPECT_EQ(replies, "[hold 1]\r\n[GB 4]\r\n");
  for (int i : {1, 2}) {
    ASSERT_TRUE(utilities[i]->ReadBytes(10, replies));
    EXPECT_EQ(replies, "[hold " + std::to_string(i + 1) + "]\r\n");
  }
  Calls held = recorder.CallsMade();
  std::erase_if(held, [](const auto& call) { return call->rfind("hold", 0) != 0; });
  EXPECT_EQ(held, (Calls{"hold 1", "hold 2", "hold 3"}));
  EXPECT_EQ(recorder.MostRunningInALane(), 1);
  EXPECT_EQ(recorder.MostRunning(), 2);
}

// The process runs out of descriptors while a utility connects; once they are freed it is served.
TEST_F(UtilityServerTest, AcceptingGoesOnOnceDescriptorsThatRanOutAreFreed) {
  testkit::LogCapture log;
  StartServer();
  TextClient utility;  // its io_context holds its descriptors already
  {
    testkit::DescriptorShortage shortage;
    if (!shortage.Active()) GTEST_SKIP() << "the descriptor limit cannot be lowered here";
    shortage.FreeOne();
    ASSERT_TRUE(utility.Connect("127.0.0.1", server->Port()));
    ASSERT_TRUE(log.WaitFor("Utility server: a connection could not be accepted"));
  }
  std::string greeting;
  ASSERT_TRUE(utility.ReadBytes(kGreeting.size(), greeting, 10s));
  EXPECT_EQ(greeting, kGreeting);
  ExpectAnswer(utility, "GA 1");
  EXPECT_EQ(log.Count("could not be accepted"), 1u);  // once for the whole spell
}

TEST_F(UtilityServerTest, AUtilityIsAnsweredAtOnceWhileOthersTrickleOrIdleAndNoMoreAreTaken) {
  StartServer(60s, 60s);  // neither the idle nor the trickling ones are let go during the test
  auto others = ConnectUtilities(kUtilityMaxConnections - 1);
  TextClient utility;
  ConnectAndGreet(utility);
  for (int round = 0; round < 5; ++round) {
    for (size_t i = 0; i < others.size(); i += 2) ASSERT_TRUE(others[i]->Send("G"));
    ExpectAnswer(utility, "GA " + std::to_string(round), 1s);
  }
  // A seventeenth utility is greeted and let go at once.
  TextClient extra;
  ASSERT_TRUE(extra.Connect("127.0.0.1", server->Port()));
  std::string received;
  EXPECT_TRUE(extra.ReadToEnd(received, 5s));
  EXPECT_EQ(received, kGreeting);
  ExpectAnswer(utility, "GA 5", 1s);
  EXPECT_EQ(recorder.CallsMade(), (Calls{"GA 0", "GA 1", "GA 2", "GA 3", "GA 4", "GA 5"}));

  // An idle one leaving makes room for another.
  ASSERT_TRUE(others[1]->Send("\n"));
  EXPECT_TRUE(others[1]->WaitClosed(10s));
  TextClient next;
  ConnectAndGreet(next);
  ExpectAnswer(next, "GU 6", 1s);
}

TEST_F(UtilityServerTest, ARequestLineMustBeCompleteInTimeOfItsFirstByte) {
  StartServer(60s, 300ms);
  TextClient trickler;
  ConnectAndGreet(trickler);
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  // One byte each time the connection is seen still open after a bounded wait for its close.
  for (int byte = 0; byte < 200 && !closed; ++byte) {
    if (!trickler.Send("G")) break;
    closed = trickler.WaitClosed(50ms);
  }
  EXPECT_TRUE(closed || trickler.WaitClosed(10s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
  ASSERT_TRUE(recorder.WaitForCalls(1));
  EXPECT_EQ(recorder.CallsMade(), Calls{std::nullopt});
}

TEST_F(UtilityServerTest, UtilityClosingItsSideEndsTheExchange) {
  StartServer();
  {
    TextClient client;
    ConnectAndGreet(client);
    ExpectAnswer(client, "GA 3");
  }
  ASSERT_TRUE(recorder.WaitForCalls(2));
  EXPECT_EQ(recorder.EndCalls(), 1u);
  // The server goes on accepting.
  TextClient next;
  ConnectAndGreet(next);
}

TEST_F(UtilityServerTest, DestructionInterruptsAnExchangeAndAnAccept) {
  StartServer(60s);
  TextClient client;
  ConnectAndGreet(client);
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(recorder.EndCalls(), 1u);
  EXPECT_TRUE(client.WaitClosed(10s));

  // A server with nobody connected is waiting in its accept.
  StartServer();
  server.reset();
  EXPECT_EQ(recorder.EndCalls(), 1u);
}

TEST_F(UtilityServerTest, StartFailsOnAPortInUse) {
  StartServer();
  CUtilityServer second(recorder, "127.0.0.1", server->Port());
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(second.GetErrorInfo().failed);
  EXPECT_EQ(second.GetErrorInfo().code, kWsaAddressInUse);
  if (!testkit::UnderWine()) {  // Wine has no text for 10048
    EXPECT_FALSE(second.GetErrorInfo().text.empty());
  }
  EXPECT_EQ(second.Port(), 0);
}

}  // namespace
}  // namespace tessamer
