#pragma once
// Notices to the window. The "window handle" that the hub and the data service are given is a
// notice sink; posting never blocks and never waits for the receiver. A null sink means no window:
// nothing is posted.

#include <cstdint>
#include <string>

namespace tessamer {

inline constexpr uint32_t kWmUser = 1024;
inline constexpr uint32_t WM_HUB_ACTIVITY = kWmUser + 3000;          // wParam status, lParam row
inline constexpr uint32_t WM_HUB_STOPPED = kWmUser + 3001;           // 0, 0
inline constexpr uint32_t WM_HUB_BOX_DATA = kWmUser + 3002;          // wParam row, 0
inline constexpr uint32_t WM_HUB_HEADERS_COMPLETE = kWmUser + 3003;  // 0, 0
inline constexpr uint32_t WM_HUB_PUBLISHED = kWmUser + 3004;         // 0 header, 1 data; 0
// A connected box has sent no record for the silence time (lParam: whole seconds since its last
// record, at least 1), or speaks again after that (lParam 0). wParam row.
inline constexpr uint32_t WM_HUB_BOX_SILENCE = kWmUser + 3005;
// wParam socket; lParam port<<8 | 0 connected, 1 disconnected; text on connecting: the viewer's
// "address:port".
inline constexpr uint32_t WM_HUB_CLIENT_CONNECTION = 10823;
inline constexpr uint32_t WM_HUB_CLIENT_OFFSET = 10824;      // text: the offset name

struct Notice {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  std::wstring text;  // owned by the receiver; WM_HUB_CLIENT_OFFSET and a connection carry one
};

// Threads: Post is called from any thread and must return without waiting for the receiver.
class INoticeSink {
 public:
  virtual ~INoticeSink() = default;
  virtual void Post(Notice notice) = 0;
};

// Posts to `sink` when there is one.
inline void PostNotice(INoticeSink* sink, uint32_t message, uintptr_t wParam, intptr_t lParam,
                       std::wstring text = {}) {
  if (sink != nullptr) sink->Post(Notice{message, wParam, lParam, std::move(text)});
}

}  // namespace tessamer
