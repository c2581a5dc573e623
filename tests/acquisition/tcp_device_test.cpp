#include "acquisition/tcp_device.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#endif

#include "support/text.h"
#include "testkit/fake_box.h"
#include "testkit/log_capture.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::FakeBox;
using testkit::LogCapture;
using Clock = std::chrono::steady_clock;

AcquisitionTimeouts ShortTimeouts() {
  AcquisitionTimeouts t;
  t.connect = 400ms;
  t.firstReceive = 300ms;
  t.receiveAfterClose = 600ms;
  t.receive = 450ms;
  return t;
}

TcpOptions OptionsFor(const std::string& host, uint16_t port) {
  TcpOptions options;
  options.host = Widen(host);
  options.port = port;
  return options;
}

std::chrono::milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Reads until `count` bytes have arrived or the link reports something other than data.
std::string ReadBytes(CTcpDevice& link, size_t count, int* last = nullptr) {
  std::string got;
  char buffer[256];
  while (got.size() < count) {
    const int n = link.Read(buffer, sizeof buffer);
    if (last != nullptr) *last = n;
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

#if defined(__linux__)
// True once thread `tid` of this process sits in the kernel waiting for socket events (the link's
// io_context waits in epoll), false when it has not within `timeout`.
bool WaitUntilPolling(pid_t tid, std::chrono::milliseconds timeout) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  const auto deadline = Clock::now() + timeout;
  do {
    long number = -1;
    std::ifstream(path) >> number;  // "running" while on a CPU: no number
#if defined(SYS_epoll_wait)
    if (number == SYS_epoll_wait) return true;
#endif
    if (number == SYS_epoll_pwait) return true;
#if defined(SYS_epoll_pwait2)
    if (number == SYS_epoll_pwait2) return true;
#endif
    std::this_thread::yield();
  } while (Clock::now() < deadline);
  return false;
}
#endif

TEST(TryingToConnectText, PrintsTheAddressAsItLiesInMemory) {
  EXPECT_EQ(TryingToConnectText({192, 168, 1, 100}, 5000), L"Trying to connect to: 6401A8C0:5000");
  // No leading zeros: the first dotted part is the lowest byte.
  EXPECT_EQ(TryingToConnectText({10, 0, 0, 1}, 80), L"Trying to connect to: 100000A:80");
  EXPECT_EQ(TryingToConnectText({0, 0, 0, 0}, 1), L"Trying to connect to: 0:1");
}

TEST(TcpDeviceOpen, RefusedConnectFailsAtOnceWithTheRefusalNumberAndIsRetried) {
  LogCapture log;
  FakeBox box("127.0.0.1");
  box.Refuse();
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), ShortTimeouts());
  ErrorInfo failure;
  const auto start = Clock::now();
  EXPECT_FALSE(link.Open(failure));
  EXPECT_LT(Since(start), 300ms);  // well inside the connect time-out
  EXPECT_TRUE(link.GetErrorInfo()->failed);
  EXPECT_EQ(link.GetErrorInfo()->code, 10061);
  EXPECT_EQ(link.GetErrorInfo()->text.rfind(L"Error occurred while connecting to IP: 127.0.0.1.", 0),
            0u);
  EXPECT_EQ(failure.code, 10061);
  EXPECT_EQ(failure.text, link.GetErrorInfo()->text);
  EXPECT_TRUE(log.Contains("Trying to connect to: 100007F:" + std::to_string(box.Port()) + "\r\n"));
  EXPECT_TRUE(log.Contains("connecting to IP: 127.0.0.1 failed. Error code: 10061\r\n"));
  EXPECT_FALSE(link.IsConnected());

  // The same link connects once the box listens again, and the error is cleared.
  box.Listen();
  EXPECT_TRUE(link.Open(failure));
  EXPECT_TRUE(link.IsConnected());
  EXPECT_FALSE(link.GetErrorInfo()->failed);
  EXPECT_TRUE(log.Contains("connected, setting keep alive"));
  EXPECT_TRUE(box.WaitForAccepted(1));
}

TEST(TcpDeviceOpen, UnansweredConnectTimesOutWithCodeOneNamingTheAddress) {
  LogCapture log;
  testkit::UnansweredPort port("127.0.0.1");
  AcquisitionTimeouts timeouts = ShortTimeouts();
  CTcpDevice link(OptionsFor("127.0.0.1", port.Port()), timeouts);
  ErrorInfo failure;
  const auto start = Clock::now();
  EXPECT_FALSE(link.Open(failure));
  const auto elapsed = Since(start);
  EXPECT_GE(elapsed, timeouts.connect - 20ms);
  EXPECT_LT(elapsed, timeouts.connect + 2000ms);
  EXPECT_EQ(link.GetErrorInfo()->code, 1);
  EXPECT_EQ(link.GetErrorInfo()->text,
            L"Timeout occurred while connecting to IP: 127.0.0.1\r\n\r\nYou can change Vellumetric "
            L"address using the Vellumetric Hardware menu.");
  EXPECT_EQ(failure.code, 1);
  EXPECT_TRUE(log.Contains("WSAConnect, waiting for WSAEINPROGRESS"));
  EXPECT_TRUE(log.Contains("Connect, WaitForSingleObject timed out"));
  // The time-out closed the link.
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.receiveAfterClose);
}

TEST(TcpDeviceOpen, AbortEndsAConnectWaitAtOnce) {
  testkit::UnansweredPort port("127.0.0.1");
  AcquisitionTimeouts timeouts = ShortTimeouts();
  timeouts.connect = 10s;
  CTcpDevice link(OptionsFor("127.0.0.1", port.Port()), timeouts);
  auto opened = std::async(std::launch::async, [&] {
    ErrorInfo failure;
    return link.Open(failure);
  });
  link.Abort(2);
  ASSERT_EQ(opened.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(opened.get());
  EXPECT_NE(link.GetErrorInfo()->code, 1);  // not reported as a time-out
  EXPECT_EQ(link.AbortReason(), 2);
}

TEST(TcpDeviceOpen, IPv6OnlyNameMakesNoAttempt) {
  LogCapture log;
  CTcpDevice link(OptionsFor("::1", 1), ShortTimeouts());
  ErrorInfo failure;
  EXPECT_FALSE(link.Open(failure));
  EXPECT_FALSE(log.Contains("Trying to connect to"));
  EXPECT_FALSE(log.Contains("WSAConnect"));
  EXPECT_FALSE(failure.failed);
}

class TcpDeviceConnected : public ::testing::Test {
 protected:
  void Connect(CTcpDevice& link) {
    ErrorInfo failure;
    ASSERT_TRUE(link.Open(failure));
  }

  LogCapture log;
  FakeBox box{"127.0.0.1"};
  AcquisitionTimeouts timeouts = ShortTimeouts();
};

TEST_F(TcpDeviceConnected, ReceiveTimeoutsFollowTheConnectionHistory) {
  box.SetScripts({testkit::FakeBoxScript{{{"hello", 100ms}}, false}});
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), timeouts);
  Connect(link);
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.firstReceive);

  // The first receive has to wait and completes in time: later silences are cut shorter.
  EXPECT_EQ(ReadBytes(link, 5), "hello");
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.receive);

  // The box falls silent: the read gives up after the time-out and closes the link.
  char buffer[16];
  const auto start = Clock::now();
  EXPECT_EQ(link.Read(buffer, sizeof buffer), -1);
  EXPECT_GE(Since(start), timeouts.receive - 20ms);
  EXPECT_EQ(link.GetErrorInfo()->code, 0);
  EXPECT_EQ(link.GetErrorInfo()->text, L"A timeout occurred while waiting to receive data.");
  EXPECT_TRUE(log.Contains("Waiting for data, WaitForSingleObject timed out after 0 seconds"));
  EXPECT_FALSE(link.IsConnected());
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.receiveAfterClose);

  // A new connection keeps the after-close time-out until its first waited receive.
  ErrorInfo failure;
  ASSERT_TRUE(link.Open(failure));
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.receiveAfterClose);
  EXPECT_EQ(ReadBytes(link, 5), "hello");
  EXPECT_EQ(link.ReceiveTimeout(), timeouts.receive);
}

TEST_F(TcpDeviceConnected, FirstReceiveTimeoutAppliesBeforeAnyClose) {
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), timeouts);
  Connect(link);
  char buffer[16];
  const auto start = Clock::now();
  EXPECT_EQ(link.Read(buffer, sizeof buffer), -1);
  const auto elapsed = Since(start);
  EXPECT_GE(elapsed, timeouts.firstReceive - 20ms);
  EXPECT_LT(elapsed, timeouts.receive);
}

TEST_F(TcpDeviceConnected, BoxClosingTheConnectionReadsZero) {
  box.SetScript(testkit::PlayAll("abc", true));
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), timeouts);
  Connect(link);
  int last = 1;
  EXPECT_EQ(ReadBytes(link, 100, &last), "abc");
  EXPECT_EQ(last, 0);
  EXPECT_TRUE(link.GetErrorInfo()->failed);
  EXPECT_EQ(link.GetErrorInfo()->code, 0);
  EXPECT_EQ(link.GetErrorInfo()->text, L"The device has closed the connection");
  EXPECT_TRUE(log.Contains("0 bytes read from connection. Error code: 0"));
}

TEST_F(TcpDeviceConnected, AbortDuringAReceiveWaitReturnsMinusThreeThenMinusTwo) {
#if defined(__linux__)
  AcquisitionTimeouts slow = timeouts;
  slow.firstReceive = 10s;
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), slow);
  Connect(link);
  std::promise<pid_t> reader;
  auto read = std::async(std::launch::async, [&] {
    reader.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
    char buffer[16];
    return link.Read(buffer, sizeof buffer);
  });
  // The abort must land while the read waits for data, not before it has begun to wait.
  ASSERT_TRUE(WaitUntilPolling(reader.get_future().get(), 5s));
  const auto start = Clock::now();
  link.Abort(2);
  ASSERT_EQ(read.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(read.get(), -3);
  EXPECT_LT(Since(start), 1s);
  char buffer[16];
  for (int i = 0; i < 3; ++i) EXPECT_EQ(link.Read(buffer, sizeof buffer), -2);
#else
  GTEST_SKIP() << "needs /proc to see the read waiting";
#endif
}

TEST_F(TcpDeviceConnected, CloseFromAnotherThreadEndsAReceiveWait) {
  AcquisitionTimeouts slow = timeouts;
  slow.firstReceive = 10s;
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), slow);
  Connect(link);
  auto read = std::async(std::launch::async, [&] {
    char buffer[16];
    return link.Read(buffer, sizeof buffer);
  });
  const auto start = Clock::now();
  link.Close();
  ASSERT_EQ(read.wait_for(2s), std::future_status::ready);
  EXPECT_LE(read.get(), 0);
  EXPECT_LT(Since(start), 1s);
  EXPECT_FALSE(link.IsConnected());
  link.Close();  // idempotent
  char buffer[16];
  EXPECT_EQ(link.Read(buffer, sizeof buffer), -1);
  EXPECT_TRUE(box.WaitForOpenConnections(0));
}

TEST_F(TcpDeviceConnected, WriteSendsEverythingAndFailsOnAClosedLink) {
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), timeouts);
  Connect(link);
  EXPECT_EQ(link.Write("ignored", 0), 0);
  EXPECT_EQ(link.Write("hello", 5), 5);
  // More than any socket buffer holds: the send loop goes on until all of it is out.
  std::string big(4 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 977) big[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(link.Write(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  ASSERT_TRUE(box.WaitForReceived(5 + big.size()));
  EXPECT_EQ(box.Received(), "hello" + big);

  link.Close();
  EXPECT_EQ(link.Write("x", 1), -1);
  EXPECT_TRUE(link.GetErrorInfo()->failed);
  EXPECT_EQ(link.GetErrorInfo()->text.rfind(L"Error occurred while Sending data.", 0), 0u);
}

TEST_F(TcpDeviceConnected, DataSplitAnywhereArrivesWhole) {
  const std::string text = "header line\r\n01/02/24 10:00:00.0 1.5 2.5\r\n";
  box.SetScript(testkit::PlaySplitAt(text, {1, 7, 13, 14, 30}, 5ms));
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), timeouts);
  Connect(link);
  EXPECT_EQ(ReadBytes(link, text.size()), text);
}

TEST(FakeBox, CountsConnectionsAndPlaysEachItsScript) {
  FakeBox box("127.0.0.1");
  box.SetScripts({testkit::PlayAll("first", true), testkit::PlayAll("later", true)});
  for (const char* expected : {"first", "later", "later"}) {
    CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), ShortTimeouts());
    ErrorInfo failure;
    ASSERT_TRUE(link.Open(failure));
    EXPECT_EQ(ReadBytes(link, 100), expected);
  }
  EXPECT_EQ(box.Accepted(), 3u);
  EXPECT_TRUE(box.WaitForOpenConnections(0));

  // Stop listening: refused; listen again: connects, to a box that now stays silent.
  box.SetScript({});
  box.StopListening();
  CTcpDevice link(OptionsFor("127.0.0.1", box.Port()), ShortTimeouts());
  ErrorInfo failure;
  EXPECT_FALSE(link.Open(failure));
  box.Listen();
  EXPECT_TRUE(link.Open(failure));
  EXPECT_TRUE(box.WaitForAccepted(4));
  box.Send("pushed");
  EXPECT_EQ(ReadBytes(link, 6), "pushed");
  box.CloseConnections();
  int last = 1;
  EXPECT_EQ(ReadBytes(link, 1, &last), "");
  EXPECT_EQ(last, 0);
}

}  // namespace
}  // namespace tessamer
