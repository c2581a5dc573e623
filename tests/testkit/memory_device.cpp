#include "testkit/memory_device.h"

#include <algorithm>
#include <cstring>

namespace tessamer::testkit {

CMemoryDevice::CMemoryDevice(std::vector<MemoryConnection> connections, const TcpOptions& options)
    : CDevice(options), script(connections.begin(), connections.end()) {}

bool CMemoryDevice::Open(ErrorInfo& failure) {
  std::lock_guard<std::mutex> guard(mutex);
  error.Clear();
  if (aborted) return false;
  if (script.empty()) {
    error.SetSystemError(10061, L"connecting to IP: memory");
    failure = error;
    return false;
  }
  MemoryConnection next = std::move(script.front());
  script.pop_front();
  if (next.refuseCode != 0) {
    error.SetSystemError(static_cast<uint32_t>(next.refuseCode), L"connecting to IP: memory");
    failure = error;
    return false;
  }
  current = std::move(next.text);
  readPos = 0;
  closeAtEnd = next.closeAtEnd;
  open = true;
  ++opens;
  return true;
}

void CMemoryDevice::Close() {
  std::lock_guard<std::mutex> guard(mutex);
  if (open) ++closes;
  open = false;
  current.clear();
  readPos = 0;
}

int CMemoryDevice::Read(char* buffer, int size) {
  std::unique_lock<std::mutex> guard(mutex);
  if (aborted) return -2;
  if (!open) {
    error.Set(10057, L"The connection is not open");
    return -1;
  }
  bool waited = false;
  while (!aborted && open && readPos == current.size() && !closeAtEnd) {
    waited = true;
    changed.wait(guard);
  }
  if (aborted) return waited ? -3 : -2;
  if (!open) {
    error.Set(10057, L"The connection is not open");
    return -1;
  }
  const size_t available = current.size() - readPos;
  if (available == 0) {
    error.Set(0, L"The device has closed the connection");
    return 0;
  }
  const size_t n = std::min({available, static_cast<size_t>(std::max(size, 0)),
                             static_cast<size_t>(readLimit)});
  std::memcpy(buffer, current.data() + readPos, n);
  readPos += n;
  if (readPos == current.size() && readPos > (1u << 20)) {
    current.clear();  // long feeds do not pile up
    readPos = 0;
  }
  return static_cast<int>(n);
}

int CMemoryDevice::Write(const char* data, int size) {
  if (size <= 0) return 0;
  std::lock_guard<std::mutex> guard(mutex);
  written.append(data, static_cast<size_t>(size));
  return size;
}

void CMemoryDevice::Abort(int32_t reason) {
  CDevice::Abort(reason);
  std::lock_guard<std::mutex> guard(mutex);
  aborted = true;
  changed.notify_all();
}

void CMemoryDevice::SetReadLimit(int bytes) {
  std::lock_guard<std::mutex> guard(mutex);
  readLimit = std::max(bytes, 1);
}

void CMemoryDevice::Feed(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex);
  current += text;
  changed.notify_all();
}

void CMemoryDevice::EndConnection() {
  std::lock_guard<std::mutex> guard(mutex);
  closeAtEnd = true;
  changed.notify_all();
}

int CMemoryDevice::OpenCount() const {
  std::lock_guard<std::mutex> guard(mutex);
  return opens;
}

int CMemoryDevice::CloseCount() const {
  std::lock_guard<std::mutex> guard(mutex);
  return closes;
}

std::string CMemoryDevice::Written() const {
  std::lock_guard<std::mutex> guard(mutex);
  return written;
}

}  // namespace tessamer::testkit
