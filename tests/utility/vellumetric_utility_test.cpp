#include "utility/vellumetric_utility.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

#include "support/error_numbers.h"
#include "support/text.h"
#include "testkit/fake_box.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::FakeBox;
using testkit::NetworkAddress;

constexpr const wchar_t* kTimeoutText = L"A timeout occurred while waiting for an operation to complete";

// The bridge's kind of connection: kept open, responses captured.
std::unique_ptr<CVellumetricUtility> CachedConnectionTo(const FakeBox& box,
                                                        const std::string& dotted) {
  auto utility = std::make_unique<CVellumetricUtility>(false, true, std::wstring(), "127.0.0.99",
                                                       box.UtilityPort());
  utility->SetTarget(Widen(dotted));
  utility->SetOpenTimeout(300);
  return utility;
}

TEST(VellumetricUtilityConnect, BannerIsReadButNotCapturedLaterReadsAre) {
  FakeBox box("127.0.0.2");
  box.SetUtilityResponder([](const std::string&) { return std::string("#x\r\nFirmware Ver 2.15b3\r\n"); });
  auto utility = CachedConnectionTo(box, "127.0.0.2");
  std::vector<std::pair<int32_t, int32_t>> progress;
  utility->SetProgressObserver([&](int32_t total, int32_t reached) {
    progress.emplace_back(total, reached);
  });
  ASSERT_TRUE(utility->Connect());
  EXPECT_TRUE(utility->IsConnected());
  EXPECT_FALSE(utility->MissingBanner());
  EXPECT_EQ(utility->BannerLine(), "Vellumetric-VMC: VM-400 utility port");
  EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{3, 1}, {3, 2}, {3, 3}}));
  EXPECT_EQ(utility->Link().capture, "");
  EXPECT_EQ(utility->Link().receiveTimeoutMs, kLinkDefaultTimeoutMs);

  utility->Link().receiveTimeoutMs = 200;
  FirmwareInfo info;
  EXPECT_FALSE(utility->QueryFirmwareVersion(info));  // "#x" is skipped: one line only
  EXPECT_EQ(utility->Link().capture, "#x\r\nFirmware Ver 2.15b3\r\n");
}

TEST(VellumetricUtilityConnect, BoxWithoutBannerIsStillOpened) {
  FakeBox box("127.0.0.2");
  box.SetUtilityBanner("");
  auto utility = CachedConnectionTo(box, "127.0.0.2");
  ASSERT_TRUE(utility->Connect());
  EXPECT_TRUE(utility->MissingBanner());
  EXPECT_EQ(utility->BannerLine(), "");
}

TEST(VellumetricUtilityConnect, NothingListeningFailsWithTheTimeoutText) {
  asio::io_context io;
  asio::ip::tcp::acceptor bound(io);  // bound, never listening: refuses
  bound.open(asio::ip::tcp::v4());
  bound.bind({asio::ip::make_address_v4("127.0.0.5"), 0});
  CVellumetricUtility utility(false, true, {}, "127.0.0.5", bound.local_endpoint().port());
  utility.SetOpenTimeout(250);
  std::vector<std::wstring> observed;
  utility.SetErrorObserver([&](const std::wstring& text) { observed.push_back(text); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(utility.Connect());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 240ms);
  const ErrorInfo error = utility.GetErrorInfo();
  EXPECT_TRUE(error.failed);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.text, kTimeoutText);
  EXPECT_EQ(observed, std::vector<std::wstring>{kTimeoutText});
  EXPECT_FALSE(utility.IsConnected());
}

TEST(VellumetricUtilityConnect, EmptyTargetGoesToTheDefaultBox) {
  FakeBox box("127.0.0.3");
  CVellumetricUtility utility(false, false, {}, "127.0.0.3", box.UtilityPort());
  utility.SetTarget(L"127.0.0.7");
  EXPECT_EQ(utility.Address(), NetworkAddress("127.0.0.7"));
  utility.SetTarget(L"");
  EXPECT_EQ(utility.Address(), 0u);
  ASSERT_TRUE(utility.Connect());
  EXPECT_EQ(utility.Address(), NetworkAddress("127.0.0.3"));
  EXPECT_TRUE(box.WaitForUtilityConnections(1));
}

TEST(VellumetricUtilityConnect, HostNamesResolve) {
  CVellumetricUtility utility(false, false);
  EXPECT_EQ(utility.Address(), NetworkAddress(kDefaultBoxAddress));
  utility.SetTarget(L"localhost");
  EXPECT_EQ(utility.Address(), NetworkAddress("127.0.0.1"));
}

TEST(VellumetricUtilityConnect, ConnectOnAnOpenLinkReplacesTheConnection) {
  FakeBox box("127.0.0.2");
  auto utility = CachedConnectionTo(box, "127.0.0.2");
  ASSERT_TRUE(utility->Connect());
  ASSERT_TRUE(utility->Connect());
  EXPECT_TRUE(box.WaitForUtilityConnections(2));
  EXPECT_TRUE(box.WaitForUtilityDisconnections(1));
  EXPECT_TRUE(utility->CommandA(1));
  utility->Disconnect();
  EXPECT_FALSE(utility->IsConnected());
  EXPECT_TRUE(box.WaitForUtilityDisconnections(2));
}

TEST(VellumetricUtilityFirmware, ReadsMajorMinorAndRevision) {
  FakeBox box("127.0.0.2");
  box.SetUtilityResponder([](const std::string& line) -> std::string {
    if (line != "help\r\n") return {};
    return "# VM-400 help\r\nStatus: running\r\n#\r\nFirmware Ver 2.15b3\r\ntrailing text\r\n";
  });
  auto utility = CachedConnectionTo(box, "127.0.0.2");
  ASSERT_TRUE(utility->Connect());
  FirmwareInfo info;
  info.revision = L"old";
  ASSERT_TRUE(utility->QueryFirmwareVersion(info));
  EXPECT_FALSE(info.missingBanner);
  EXPECT_EQ(info.major, 2);
  EXPECT_EQ(info.minor, 15);
  EXPECT_EQ(info.revision, L"3");
}

TEST(VellumetricUtilityFirmware, LetterWithoutDigitLeavesRevisionAndNoMatchFails) {
  FakeBox box("127.0.0.2");
  box.SetUtilityBanner("");
  std::string firmwareLine = "Firmware Ver 3.4a";
  box.SetUtilityResponder([&firmwareLine](const std::string&) {
    return "# comment\r\nStatus ok\r\n" + firmwareLine + "\r\n";
  });
  // Opening per query: the connection is made and closed around each one.
  CVellumetricUtility utility(true, true, {}, "127.0.0.2", box.UtilityPort());
  utility.SetOpenTimeout(200);
  FirmwareInfo info;
  info.revision = L"k";
  ASSERT_TRUE(utility.QueryFirmwareVersion(info));
  EXPECT_TRUE(info.missingBanner);
  EXPECT_EQ(info.major, 3);
  EXPECT_EQ(info.minor, 4);
  EXPECT_EQ(info.revision, L"k");
  EXPECT_FALSE(utility.IsConnected());

  firmwareLine = "Firmware Version unknown";
  EXPECT_FALSE(utility.QueryFirmwareVersion(info));
  EXPECT_FALSE(utility.GetErrorInfo().failed);
  EXPECT_TRUE(box.WaitForUtilityDisconnections(2));
}

TEST(VellumetricUtilityFirmware, SocketErrorIsRecordedWithItsNumber) {
  FakeBox box("127.0.0.2");
  box.SetUtilityResponder([](const std::string&) { return testkit::kCloseConnection; });
  auto utility = CachedConnectionTo(box, "127.0.0.2");
  ASSERT_TRUE(utility->Connect());
  FirmwareInfo info;
  EXPECT_FALSE(utility->QueryFirmwareVersion(info));
  EXPECT_TRUE(utility->GetErrorInfo().failed);
  EXPECT_EQ(utility->GetErrorInfo().code, kWsaNotConnected);
}

}  // namespace
}  // namespace tessamer
