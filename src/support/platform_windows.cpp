#include "support/platform.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <mutex>

namespace tessamer {
namespace {

std::mutex stopLock;
const std::function<void()>* stopAction = nullptr;  // guarded by stopLock; the live instance's

// Runs on a thread the system starts for each console event. TRUE: handled, the process goes on.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  std::lock_guard guard(stopLock);
  if (stopAction == nullptr) return FALSE;
  (*stopAction)();
  return TRUE;
}

}  // namespace

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

std::filesystem::path UserDataFolder() {
  if (const wchar_t* data = _wgetenv(L"APPDATA"); data != nullptr && *data != L'\0') return data;
  return {};
}

void ClaimListenPort(asio::ip::tcp::acceptor& acceptor, asio::error_code& error) {
  const BOOL exclusive = TRUE;
  if (::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) == SOCKET_ERROR) {
    error = asio::error_code(WSAGetLastError(), asio::system_category());
  } else {
    error = {};
  }
}

CConsoleStopKeys::CConsoleStopKeys(std::function<void()> stop) : stop(std::move(stop)) {
  std::lock_guard guard(stopLock);
  stopAction = &this->stop;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CConsoleStopKeys::~CConsoleStopKeys() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  std::lock_guard guard(stopLock);
  stopAction = nullptr;
}

}  // namespace tessamer
