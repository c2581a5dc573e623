#include "utility/utility_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/error_numbers.h"
#include "testkit/loopback_peers.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackClient;

constexpr size_t kGreetingSize = 28;

// Records every handler call; std::nullopt stands for the (none, 0, none) call.
class HandlerRecorder {
 public:
  UtilityRequestHandler Handler() {
    return [this](const char* request, int32_t length, std::string* reply) {
      std::optional<std::string> call;
      if (request != nullptr) {
        EXPECT_EQ(static_cast<size_t>(length), std::strlen(request));
        call = std::string(request, static_cast<size_t>(length));
        if (reply != nullptr) *reply = Reply(*call);
      } else {
        EXPECT_EQ(length, 0);
        EXPECT_EQ(reply, nullptr);
      }
      {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back(call);
      }
      changed.notify_all();
      return true;
    };
  }

  std::vector<std::optional<std::string>> Calls() const {
    std::lock_guard<std::mutex> guard(mutex);
    return calls;
  }

  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout = 10s) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return calls.size() >= count; });
  }

  size_t EndCalls() const {
    std::lock_guard<std::mutex> guard(mutex);
    size_t ends = 0;
    for (const auto& call : calls) ends += call.has_value() ? 0 : 1;
    return ends;
  }

 private:
  // "quiet ..." gets no reply; anything else is echoed in brackets.
  static std::string Reply(const std::string& request) {
    if (request.rfind("quiet", 0) == 0) return {};
    return "[" + request + "]\r\n";
  }

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::optional<std::string>> calls;
};

class UtilityServerTest : public ::testing::Test {
 protected:
  void StartServer(std::chrono::milliseconds idle = 10s) {
    server = std::make_unique<CUtilityServer>(recorder.Handler(), "127.0.0.1", 0, idle);
    ASSERT_TRUE(server->Start()) << Narrow(server->GetErrorInfo().text);
    ASSERT_NE(server->Port(), 0);
  }

  void ConnectAndGreet(LoopbackClient& client) {
    ASSERT_TRUE(client.Connect(server->Port()));
    EXPECT_EQ(client.Read(kGreetingSize), "Vellumetric-VMC: connected\r\n");
  }

  static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

  HandlerRecorder recorder;
  std::unique_ptr<CUtilityServer> server;
};

TEST_F(UtilityServerTest, SilentUtilityGetsGreetingAndIsLetGoAfterIdleTime) {
  StartServer(300ms);
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(server->Port()));
  const auto start = std::chrono::steady_clock::now();
  std::string received;
  ASSERT_TRUE(client.WaitClosed(10s, &received));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
  EXPECT_EQ(received, "Vellumetric-VMC: connected\r\n");
  ASSERT_TRUE(recorder.WaitForCalls(1));
  EXPECT_EQ(recorder.Calls(), (std::vector<std::optional<std::string>>{std::nullopt}));
}

TEST_F(UtilityServerTest, RequestLinesReachTheHandlerAndRepliesGoBackVerbatim) {
  StartServer();
  LoopbackClient client;
  ConnectAndGreet(client);
  client.Send("GS 12 3.5\r\n");
  EXPECT_EQ(client.Read(13), "[GS 12 3.5]\r\n");
  // An empty reply sends nothing; the utility goes on with its next line.
  client.Send("quiet GA 1\r\nGA 4\n");
  EXPECT_EQ(client.Read(8), "[GA 4]\r\n");
  client.Send("\r\n");  // an empty line ends the exchange
  EXPECT_TRUE(client.WaitClosed(10s));
  ASSERT_TRUE(recorder.WaitForCalls(4));
  const std::vector<std::optional<std::string>> expected{"GS 12 3.5", "quiet GA 1", "GA 4",
                                                         std::nullopt};
  EXPECT_EQ(recorder.Calls(), expected);
}

TEST_F(UtilityServerTest, LongRequestIsCutTo255Characters) {
  StartServer();
  LoopbackClient client;
  ConnectAndGreet(client);
  std::string line = "quiet ";
  while (line.size() < 300) line += static_cast<char>('a' + line.size() % 26);
  client.Send(line + "\r\nquiet next\r\n");
  ASSERT_TRUE(recorder.WaitForCalls(2));
  const auto calls = recorder.Calls();
  ASSERT_TRUE(calls[0].has_value());
  EXPECT_EQ(*calls[0], line.substr(0, 255));
  EXPECT_EQ(calls[1], std::optional<std::string>("quiet next"));
}

TEST_F(UtilityServerTest, UtilitiesAreServedOneAfterTheOther) {
  StartServer();
  LoopbackClient first;
  ConnectAndGreet(first);
  LoopbackClient second;
  ASSERT_TRUE(second.Connect(server->Port()));
  // While the first exchange lasts, the second utility waits in the backlog ungreeted.
  EXPECT_EQ(second.Read(kGreetingSize, 200ms), "");
  first.Send("GA 1\r\n");
  EXPECT_EQ(first.Read(8), "[GA 1]\r\n");
  first.Send("\n");
  EXPECT_TRUE(first.WaitClosed(10s));
  EXPECT_EQ(second.Read(kGreetingSize), "Vellumetric-VMC: connected\r\n");
  second.Send("GU 2\r\n");
  EXPECT_EQ(second.Read(8), "[GU 2]\r\n");
  const std::vector<std::optional<std::string>> expected{"GA 1", std::nullopt, "GU 2"};
  ASSERT_TRUE(recorder.WaitForCalls(3));
  EXPECT_EQ(recorder.Calls(), expected);
}

TEST_F(UtilityServerTest, UtilityClosingItsSideEndsTheExchange) {
  StartServer();
  {
    LoopbackClient client;
    ConnectAndGreet(client);
    client.Send("GA 3\r\n");
    EXPECT_EQ(client.Read(8), "[GA 3]\r\n");
  }
  ASSERT_TRUE(recorder.WaitForCalls(2));
  EXPECT_EQ(recorder.EndCalls(), 1u);
  // The server goes on accepting.
  LoopbackClient next;
  ConnectAndGreet(next);
}

TEST_F(UtilityServerTest, DestructionInterruptsAnExchangeAndAnAccept) {
  StartServer(60s);
  LoopbackClient client;
  ConnectAndGreet(client);
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(recorder.EndCalls(), 1u);
  EXPECT_TRUE(client.WaitClosed(10s));

  // A server with nobody connected is blocked in its accept.
  StartServer();
  server.reset();
  EXPECT_EQ(recorder.EndCalls(), 1u);
}

TEST_F(UtilityServerTest, StartFailsOnAPortInUse) {
  StartServer();
  CUtilityServer second(recorder.Handler(), "127.0.0.1", server->Port());
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(second.GetErrorInfo().failed);
  EXPECT_EQ(second.GetErrorInfo().code, kWsaAddressInUse);
  EXPECT_FALSE(second.GetErrorInfo().text.empty());
  EXPECT_EQ(second.Port(), 0);
}

}  // namespace
}  // namespace tessamer
