#pragma once
// Notices to the window. The "window handle" that the hub and the data service are given is a
// notice sink; posting never blocks and never waits for the receiver. A null sink means no window:
// nothing is posted.
//
// Each notice is a record of its own with named fields; a notice's kind is its record type. The
// window message numbers stay as the records' identities (kMessage) for what still needs the
// number (a handled notice's signal, logs).
//
// Threads: a notice is a plain value, copied or moved to whichever thread receives it.

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "hub/core/records.h"

namespace tessamer {

inline constexpr uint32_t kWmUser = 1024;
inline constexpr uint32_t WM_HUB_ACTIVITY = kWmUser + 3000;
inline constexpr uint32_t WM_HUB_STOPPED = kWmUser + 3001;
inline constexpr uint32_t WM_HUB_BOX_DATA = kWmUser + 3002;
inline constexpr uint32_t WM_HUB_HEADERS_COMPLETE = kWmUser + 3003;
inline constexpr uint32_t WM_HUB_PUBLISHED = kWmUser + 3004;
inline constexpr uint32_t WM_HUB_BOX_SILENCE = kWmUser + 3005;
inline constexpr uint32_t WM_HUB_CLIENT_CONNECTION = 10823;
inline constexpr uint32_t WM_HUB_CLIENT_OFFSET = 10824;

// An `Activity` of a box has been handled.
struct ActivityNotice {
  static constexpr uint32_t kMessage = WM_HUB_ACTIVITY;
  ActivityStatus status = Connected;  // may hold a value without a name: shown as its number
  int32_t row = -1;                   // the box's window row; -1 for an agent the run does not know
};

// The run has ended and its agents are gone.
struct StoppedNotice {
  static constexpr uint32_t kMessage = WM_HUB_STOPPED;
};

// A data record of the box in `row` has been merged.
struct BoxDataNotice {
  static constexpr uint32_t kMessage = WM_HUB_BOX_DATA;
  int32_t row = -1;
};

// The last missing box header has arrived; the combined header is being built.
struct HeadersCompleteNotice {
  static constexpr uint32_t kMessage = WM_HUB_HEADERS_COMPLETE;
};

// A combined header or data record has been handed to the viewers.
struct PublishedNotice {
  static constexpr uint32_t kMessage = WM_HUB_PUBLISHED;
  bool data = false;  // a data record; false: the combined header
};

// A connected box has sent no record for the silence time, or speaks again after that.
struct BoxSilenceNotice {
  static constexpr uint32_t kMessage = WM_HUB_BOX_SILENCE;
  int32_t row = -1;
  int64_t seconds = 0;  // whole seconds since its last record, at least 1; 0: it speaks again

  bool Silent() const { return seconds > 0; }
};

// A viewer has connected to the data server or left it.
struct ClientConnectionNotice {
  static constexpr uint32_t kMessage = WM_HUB_CLIENT_CONNECTION;
  uintptr_t socket = 0;  // the viewer's socket value: the same on connecting and on leaving
  uint16_t port = 0;     // the data server's port
  bool connected = false;
  std::wstring peer;  // the viewer's "address:port" on connecting; empty on leaving
};

// A viewer has sent an offset line.
struct ClientOffsetNotice {
  static constexpr uint32_t kMessage = WM_HUB_CLIENT_OFFSET;
  std::wstring name;  // the offset's name
};

using Notice = std::variant<ActivityNotice, StoppedNotice, BoxDataNotice, HeadersCompleteNotice,
                            PublishedNotice, BoxSilenceNotice, ClientConnectionNotice,
                            ClientOffsetNotice>;

// The window message number of `notice`.
inline uint32_t MessageOf(const Notice& notice) {
  return std::visit([](const auto& n) { return std::decay_t<decltype(n)>::kMessage; }, notice);
}

// One visitor from several lambdas: std::visit(Overloaded{[](const ActivityNotice&) {}, ...}, n).
template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// Threads: Post is called from any thread and must return without waiting for the receiver.
class INoticeSink {
 public:
  virtual ~INoticeSink() = default;
  virtual void Post(Notice notice) = 0;
};

// Posts to `sink` when there is one.
inline void PostNotice(INoticeSink* sink, Notice notice) {
  if (sink != nullptr) sink->Post(std::move(notice));
}

}  // namespace tessamer
