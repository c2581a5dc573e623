#include "support/error_numbers.h"

// Windows reports socket failures in its own numbering already (WSAGetLastError, and Asio's
// system category carries those numbers); elsewhere errno and resolver values are mapped through
// the tables below. Windows' C library still has errno (file opening, say): mapped the same way.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <netdb.h>
#endif

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include <asio/error.hpp>

namespace tessamer {
namespace {

struct Mapping {
  int errnoValue;
  int number;
};

// EWOULDBLOCK equals EAGAIN on Linux; both are listed for platforms where they differ.
constexpr std::array kErrnoTable{
    Mapping{EWOULDBLOCK, kWsaWouldBlock},       Mapping{EAGAIN, kWsaWouldBlock},
    Mapping{EINPROGRESS, kWsaWouldBlock},       Mapping{EALREADY, kWsaAlready},
    Mapping{ENOTSOCK, kWsaNotSocket},           Mapping{EADDRINUSE, kWsaAddressInUse},
    Mapping{EADDRNOTAVAIL, kWsaAddressNotAvailable}, Mapping{ENETDOWN, kWsaNetworkDown},
    Mapping{ENETUNREACH, kWsaNetworkUnreachable}, Mapping{ECONNABORTED, kWsaConnectionAborted},
    Mapping{ECONNRESET, kWsaConnectionReset},   Mapping{ENOBUFS, kWsaNoBuffers},
    Mapping{EISCONN, kWsaIsConnected},          Mapping{ENOTCONN, kWsaNotConnected},
    Mapping{ETIMEDOUT, kWsaTimedOut},           Mapping{ECONNREFUSED, kWsaConnectionRefused},
    Mapping{EHOSTUNREACH, kWsaHostUnreachable}, Mapping{EMFILE, kWsaTooManyFiles},
    Mapping{EACCES, kWsaAccessDenied},          Mapping{EINVAL, kWsaInvalidArgument},
    Mapping{EINTR, kWsaInterrupted},
#ifdef ESHUTDOWN  // not in Windows' C library
    Mapping{ESHUTDOWN, kWsaShutdown},
#endif
#ifdef EHOSTDOWN
    Mapping{EHOSTDOWN, kWsaHostDown},
#endif
};

#if !defined(_WIN32)
struct ResolverMapping {
  int eaiValue;
  int number;
};

constexpr std::array kResolverTable{
    ResolverMapping{EAI_NONAME, kWsaHostNotFound}, ResolverMapping{EAI_AGAIN, kWsaTryAgain},
    ResolverMapping{EAI_FAIL, kWsaNoRecovery},
#ifdef EAI_NODATA
    ResolverMapping{EAI_NODATA, kWsaNoData},
#endif
#ifdef EAI_ADDRFAMILY
    ResolverMapping{EAI_ADDRFAMILY, kWsaNoData},
#endif
};

std::string WithLineEnd(std::string text) {
  if (text.empty()) return text;
  return text + "\r\n";
}

std::string ErrnoText(int errnoValue) {
  std::string text = std::strerror(errnoValue);
  // glibc invents "Unknown error N" for numbers it has no text for: that is no text.
  if (text.rfind("Unknown error", 0) == 0) return {};
  return text;
}
#endif

}  // namespace

int ErrorNumberFromErrno(int errnoValue) {
  for (const auto& m : kErrnoTable) {
    if (m.errnoValue == errnoValue) return m.number;
  }
  return errnoValue;
}

#if defined(_WIN32)

int ErrorNumberFromResolver(int eaiValue) { return eaiValue; }  // getaddrinfo gives WSA numbers

int ErrorNumberFrom(const std::error_code& error) {
  if (!error) return 0;
  // Asio's system, netdb and addrinfo categories are all the system's own numbers here.
  if (error.category() == std::system_category() || error.category() == asio::system_category()) {
    return error.value();
  }
  if (error.category() == std::generic_category()) return ErrorNumberFromErrno(error.value());
  if (error == asio::error::eof) return kWsaNotConnected;
  return error.value();
}

int LastSocketError() { return WSAGetLastError(); }

std::string SystemMessageText(int number) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, static_cast<DWORD>(number), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text(buffer != nullptr ? buffer : "", length);
  LocalFree(buffer);
  return text;
}

#else

int ErrorNumberFromResolver(int eaiValue) {
  if (eaiValue == EAI_SYSTEM) return ErrorNumberFromErrno(errno);
  for (const auto& m : kResolverTable) {
    if (m.eaiValue == eaiValue) return m.number;
  }
  return kWsaNoRecovery;
}

int ErrorNumberFrom(const std::error_code& error) {
  if (!error) return 0;
  if (error.category() == std::system_category() || error.category() == std::generic_category() ||
      error.category() == asio::system_category()) {
    return ErrorNumberFromErrno(error.value());
  }
  if (error.category() == asio::error::get_netdb_category()) {
    switch (error.value()) {
      case asio::error::host_not_found: return kWsaHostNotFound;
      case asio::error::host_not_found_try_again: return kWsaTryAgain;
      case asio::error::no_recovery: return kWsaNoRecovery;
      case asio::error::no_data: return kWsaNoData;
      default: return kWsaNoRecovery;
    }
  }
  if (error.category() == asio::error::get_addrinfo_category()) return kWsaHostNotFound;
  if (error == asio::error::eof) return kWsaNotConnected;
  return error.value();
}

int LastSocketError() { return ErrorNumberFromErrno(errno); }

std::string SystemMessageText(int number) {
  if (number == kErrorIoPending) return WithLineEnd("Overlapped I/O operation is in progress.");
  if (number == kErrorPortClosed) return WithLineEnd("The I/O operation has been aborted.");
  for (const auto& m : kResolverTable) {
    if (m.number == number) return WithLineEnd(gai_strerror(m.eaiValue));
  }
  for (const auto& m : kErrnoTable) {
    if (m.number == number) return WithLineEnd(ErrnoText(m.errnoValue));
  }
  if (number > 0 && number < kFirstSocketError) return WithLineEnd(ErrnoText(number));
  return {};
}

#endif

}  // namespace tessamer
