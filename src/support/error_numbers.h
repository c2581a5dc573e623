#pragma once
// The error numbers that operators see are the Windows Sockets numbers on every platform, so
// that "a code of 10000 or more is a socket error" holds everywhere. This is the one table that
// maps the platform's errno and resolver values onto them, and the one source of the system's
// message text for a number.

#include <string>
#include <system_error>

namespace tessamer {

// Codes from here on are socket errors.
inline constexpr int kFirstSocketError = 10000;

// Windows Sockets numbers the system tests for by value.
inline constexpr int kErrorIoPending = 997;
inline constexpr int kErrorPortClosed = 735;
inline constexpr int kWsaInterrupted = 10004;
inline constexpr int kWsaAccessDenied = 10013;
inline constexpr int kWsaInvalidArgument = 10022;
inline constexpr int kWsaTooManyFiles = 10024;
inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaAlready = 10037;
inline constexpr int kWsaNotSocket = 10038;
inline constexpr int kWsaAddressInUse = 10048;
inline constexpr int kWsaAddressNotAvailable = 10049;
inline constexpr int kWsaNetworkDown = 10050;
inline constexpr int kWsaNetworkUnreachable = 10051;
inline constexpr int kWsaConnectionAborted = 10053;
inline constexpr int kWsaConnectionReset = 10054;
inline constexpr int kWsaNoBuffers = 10055;
inline constexpr int kWsaIsConnected = 10056;
inline constexpr int kWsaNotConnected = 10057;
inline constexpr int kWsaShutdown = 10058;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;
inline constexpr int kWsaHostDown = 10064;
inline constexpr int kWsaHostUnreachable = 10065;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// The Windows Sockets number for an errno value; an errno without one keeps its own number.
int ErrorNumberFromErrno(int errnoValue);

// The Windows Sockets number for a getaddrinfo() result (EAI_*); EAI_SYSTEM maps errno.
int ErrorNumberFromResolver(int eaiValue);

// The Windows Sockets number for an error reported by Asio or the standard library.
int ErrorNumberFrom(const std::error_code& error);

// The number of the calling thread's last failed socket call (errno, mapped).
int LastSocketError();

// The system's message text for a number, ending in "\r\n" as the platform's message facility
// ends it; empty when the system has no text for the number.
std::string SystemMessageText(int number);

}  // namespace tessamer
