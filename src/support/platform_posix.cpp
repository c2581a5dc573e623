#include "support/platform.h"

#include <cstdlib>

namespace tessamer {

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

std::filesystem::path UserDataFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    return data;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::path(home) / ".local" / "share";
  }
  return {};
}

void ClaimListenPort(asio::ip::tcp::acceptor& acceptor, asio::error_code& error) {
  acceptor.set_option(asio::socket_base::reuse_address(true), error);
}

CConsoleStopKeys::CConsoleStopKeys(std::function<void()> stop) : stop(std::move(stop)) {}

CConsoleStopKeys::~CConsoleStopKeys() = default;

}  // namespace tessamer
