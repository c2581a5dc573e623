#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include "support/error_info.h"
#include "support/error_numbers.h"
#include "support/exceptions.h"
#include "support/text.h"

namespace tessamer {
namespace {

[[maybe_unused]] std::string TrimmedEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

TEST(ErrorNumbers, MapsErrnoOntoWindowsSocketsNumbers) {
  EXPECT_EQ(ErrorNumberFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(ErrorNumberFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(ErrorNumberFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(ErrorNumberFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(ErrorNumberFromErrno(EINPROGRESS), 10035);
  EXPECT_EQ(ErrorNumberFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(ErrorNumberFromErrno(ECONNRESET), 10054);
  // An errno without a socket number keeps its own, below 10000.
  EXPECT_EQ(ErrorNumberFromErrno(ENOENT), ENOENT);
  EXPECT_LT(ErrorNumberFromErrno(ENOENT), 10000);
}

TEST(ErrorNumbers, MapsStandardAndResolverErrors) {
  EXPECT_EQ(ErrorNumberFrom(std::make_error_code(std::errc::connection_refused)), 10061);
  EXPECT_EQ(ErrorNumberFrom(std::error_code()), 0);
}

TEST(ErrorNumbers, SystemTextEndsWithLineEndAndIsEmptyWhenUnknown) {
  const std::string refused = SystemMessageText(10061);
  ASSERT_GE(refused.size(), 3u);
  EXPECT_EQ(refused.substr(refused.size() - 2), "\r\n");
#if !defined(_WIN32)  // Windows' text comes from its own message table
  EXPECT_EQ(TrimmedEnd(refused), TrimmedEnd(std::string(std::strerror(ECONNREFUSED))));
#endif
  EXPECT_EQ(SystemMessageText(10999), "");
  EXPECT_EQ(SystemMessageText(9999), "");
}

TEST(Exceptions, FixedTextsAndCodes) {
  const timeout_exception timeout;
  EXPECT_STREQ(timeout.what(), "A timeout occurred while waiting for an operation to complete");
  EXPECT_EQ(timeout.error_code(), 0);
  const already_connected_exception connected;
  EXPECT_STREQ(connected.what(), "Socket handle is already connected");
  EXPECT_EQ(connected.error_code(), 0);
  const socket_exception fromText("box went away");
  EXPECT_STREQ(fromText.what(), "box went away");
  EXPECT_EQ(fromText.error_code(), 0);
}

TEST(Exceptions, FromNumberCarriesTheSystemTextUntrimmed) {
  const connect_exception refused(10061);
  EXPECT_EQ(refused.error_code(), 10061);
  EXPECT_EQ(std::string(refused.what()), SystemMessageText(10061));
  EXPECT_EQ(std::string(refused.what()).substr(std::string(refused.what()).size() - 2), "\r\n");
  const logfile_exception missing(ENOENT);
  EXPECT_EQ(missing.error_code(), ENOENT);
  EXPECT_NE(std::string(missing.what()), "");
}

template <typename Thrown>
bool CaughtAsSocketException(Thrown thrown) {
  try {
    throw thrown;
  } catch (const socket_exception&) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(Exceptions, SocketHandlerCatchesTheFamilyButNotTheLogFileException) {
  EXPECT_TRUE(CaughtAsSocketException(password_exception("secret")));
  EXPECT_TRUE(CaughtAsSocketException(timeout_exception()));
  EXPECT_TRUE(CaughtAsSocketException(connect_exception(10061)));
  EXPECT_TRUE(CaughtAsSocketException(already_connected_exception()));
  EXPECT_FALSE(CaughtAsSocketException(logfile_exception(ENOENT)));
}

TEST(Exceptions, ThrowLastSocketErrorUsesTheMappedNumber) {
#if defined(_WIN32)
  WSASetLastError(WSAECONNRESET);
#else
  errno = ECONNRESET;
#endif
  try {
    ThrowLastSocketError();
  } catch (const socket_exception& e) {
    EXPECT_EQ(e.error_code(), 10054);
    EXPECT_EQ(std::string(e.what()), SystemMessageText(10054));
    return;
  }
  ADD_FAILURE() << "nothing thrown";
}

TEST(ErrorInfoTest, SetSystemErrorTrimsTheSystemLineEnd) {
  ErrorInfo info;
  EXPECT_FALSE(info.failed);
  info.SetSystemError(10048);
  EXPECT_TRUE(info.failed);
  EXPECT_EQ(info.code, 10048);
  const std::string system = SystemMessageText(10048);
  EXPECT_EQ(info.text, Widen(system.substr(0, system.size() - 2)));
}

TEST(ErrorInfoTest, SetSystemErrorFramesAnOperationPhrase) {
  ErrorInfo info;
  info.SetSystemError(10054, L"Sending data");
  const std::string system = SystemMessageText(10054);
  EXPECT_EQ(info.text, L"Error occurred while Sending data.\r\n\r\nError details: " +
                           Widen(system.substr(0, system.size() - 2)));
}

TEST(ErrorInfoTest, UnknownNumberWithPhraseLeavesTheFrameWithoutTrailingBlank) {
  ErrorInfo info;
  info.SetSystemError(10999, L"Address could not be resolved");
  EXPECT_EQ(info.text, L"Error occurred while Address could not be resolved.\r\n\r\nError details:");
}

TEST(ErrorInfoTest, CopiesAreIndependentAndClearResets) {
  ErrorInfo source;
  source.Set(6, L"The device has closed the connection");
  ErrorInfo copy = source;
  copy.text += L" again";
  copy.code = 7;
  EXPECT_EQ(source.text, L"The device has closed the connection");
  EXPECT_EQ(source.code, 6);
  source.Clear();
  EXPECT_FALSE(source.failed);
  EXPECT_EQ(source.code, 0);
  EXPECT_TRUE(source.text.empty());
  EXPECT_TRUE(copy.failed);
}

}  // namespace
}  // namespace tessamer
