#include "utility/vellumetric_utility.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <regex>
#include <thread>

#include <asio/ip/tcp.hpp>

#include "hub/core/alerts.h"
#include "hub/core/records.h"
#include "support/error_numbers.h"
#include "support/exceptions.h"
#include "support/ipv4_text.h"
#include "support/number_text.h"
#include "support/text.h"

namespace tessamer {

namespace {

// A target that cannot be reached (the broadcast address, never a box's).
constexpr uint32_t kInvalidBoxAddress = 0xFFFFFFFFu;

// The IPv4 address in network byte order for a dotted text, kInvalidBoxAddress when it is none.
uint32_t DottedToAddress(std::string_view dotted) {
  const std::optional<uint32_t> parsed = ParseIpv4(dotted);
  return parsed ? BoxAddressFromHostOrder(*parsed) : kInvalidBoxAddress;
}

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

void PauseAfterClose() { std::this_thread::sleep_for(std::chrono::milliseconds(kLinkClosePauseMs)); }

}  // namespace

CVellumetricUtility::CVellumetricUtility(bool connectPerCommand, bool captureResponses,
                                         std::wstring logFileName,
                                         std::string_view defaultBoxAddress, uint16_t port)
    : port(port),
      captureResponses(captureResponses),
      connectPerCommand(connectPerCommand),
      defaultAddress(DottedToAddress(defaultBoxAddress)),
      address(defaultAddress),
      logFileName(std::move(logFileName)) {}

CVellumetricUtility::~CVellumetricUtility() { Disconnect(); }

void CVellumetricUtility::Disconnect() {
  if (link.IsOpen()) {
    link.Close();  // shuts down, closes, resets and pauses
    return;
  }
  link.Reset();
  PauseAfterClose();
}

void CVellumetricUtility::SetTarget(const std::wstring& target) {
  if (target.empty()) {
    address = 0;
    return;
  }
  const std::string name = Narrow(target);
  asio::io_context context;
  asio::ip::tcp::resolver resolver(context);
  std::error_code error;
  const auto results =
      resolver.resolve(asio::ip::tcp::v4(), name, "0", asio::ip::resolver_base::flags(), error);
  if (!error && !results.empty()) {
    address = BoxAddressFromHostOrder(results.begin()->endpoint().address().to_v4().to_uint());
    return;
  }
  // Neither resolved nor dotted: a target that every opening refuses, never another box.
  address = DottedToAddress(name);
}

void CVellumetricUtility::OpenAndGreet() {
  const int64_t receiveTimeout = link.receiveTimeoutMs;
  link.connectTimeoutMs = openTimeoutMs;
  link.receiveTimeoutMs = openTimeoutMs;
  link.discardBeforeSend = true;
  progressObserver(3, 1);

  const uint32_t target = address == 0 ? defaultAddress : address;
  if (target == kInvalidBoxAddress) throw connect_exception(kWsaHostNotFound);
  try {
    link.Connect(target, port, logFileName);
  } catch (const already_connected_exception&) {
    Disconnect();  // time-outs back to 3000 ms, no discarding before sends
    link.Connect(target, port, logFileName);
  }
  progressObserver(3, 2);

  link.ReadLine(bannerLine, sizeof bannerLine);
  missingBanner = std::string_view(bannerLine).find(kBannerMark) == std::string_view::npos;
  progressObserver(3, 3);
  if (captureResponses) link.captureEnabled = true;
  link.receiveTimeoutMs = receiveTimeout;
}

bool CVellumetricUtility::Connect() {
  if (address == 0) address = defaultAddress;
  if (link.IsOpen()) Disconnect();
  try {
    OpenAndGreet();
    return true;
  } catch (const socket_exception& failure) {
    RecordException(failure, 0);
    errorObserver(error.text);
    Disconnect();
  } catch (const logfile_exception& failure) {
    RecordException(failure, 0);
    errorObserver(error.text);
    Disconnect();
    ShowAlert(L"Log file for setpoint utility could not be created.\r\n\r\nError: " + error.text,
              AlertIcon::Error);
  }
  return false;
}

bool CVellumetricUtility::QueryFirmwareVersion(FirmwareInfo& info) {
  static const std::regex kFirmwareLine("Firmware\\s+Ver\\s+(\\d+)\\.(\\d+)[a-zA-Z](\\d+)?",
                                        std::regex::ECMAScript);
  bool result = false;
  try {
    if (connectPerCommand) OpenAndGreet();
    info.missingBanner = missingBanner;
    link.Send("help\r\n");
    char* line = responseBuffer.data();
    int counted = 0;
    while (counted < 2) {
      if (link.ReadLine(line, responseBuffer.size()) == 0) break;
      if (line[0] != '#') ++counted;
    }
    if (counted == 2) {
      std::cmatch match;
      if (std::regex_search(line, match, kFirmwareLine)) {
        int64_t number = 0;
        ParseInt(std::string_view(match[1].first, match[1].second), number);
        info.major = ClampToInt32(number);
        number = 0;
        ParseInt(std::string_view(match[2].first, match[2].second), number);
        info.minor = ClampToInt32(number);
        if (match[3].matched && match[3].length() > 0) {
          info.revision = Widen(std::string_view(match[3].first, 1));
        }
        result = true;
      }
      link.DrainInput();
    }
  } catch (const socket_exception& failure) {
    RecordException(failure, failure.error_code());
    result = false;
  }
  if (connectPerCommand) Disconnect();
  return result;
}

void CVellumetricUtility::RecordFailure(const std::wstring& text) {
  error.Set(0, text);
  errorObserver(error.text);
}

void CVellumetricUtility::RecordException(const std::exception& failure, int32_t code) {
  error.Set(code, Widen(failure.what()));
}

}  // namespace tessamer
