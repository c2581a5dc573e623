#pragma once
// Recorders that collect what other threads hand them and let a test wait, with a bound, for what
// it expects: one generic recorder of values, and on it the stand-ins for the window (a notice
// sink) and the alert facility.
//
// Threads: every operation from any thread; one lock guards the values. A value is added and
// waiters are woken under that lock, so a waiter may destroy the recorder as soon as it sees the
// value it waited for.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "hub/core/alerts.h"
#include "hub/core/notices.h"

namespace tessamer::testkit {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kRecorderWait = 10s;  // how long a wait lasts at most

template <typename T>
class Recorder {
 public:
  using Values = std::vector<T>;

  void Add(T value) {
    std::lock_guard guard(mutex);
    values.push_back(std::move(value));
    changed.notify_all();
  }
  // The function that adds what it is called with.
  std::function<void(T)> Adder() {
    return [this](T value) { Add(std::move(value)); };
  }

  Values All() const {
    std::lock_guard guard(mutex);
    return values;
  }
  size_t Count() const {
    std::lock_guard guard(mutex);
    return values.size();
  }
  size_t CountIf(const std::function<bool(const T&)>& match) const {
    std::lock_guard guard(mutex);
    return static_cast<size_t>(std::count_if(values.begin(), values.end(), match));
  }

  // Waits until `done` holds for the values, or `timeout` passes. True when it held.
  bool WaitFor(const std::function<bool(const Values&)>& done,
               std::chrono::milliseconds timeout = kRecorderWait) const {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return done(values); });
  }
  // Waits until at least `count` values have come.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kRecorderWait) const {
    return WaitFor([count](const Values& all) { return all.size() >= count; }, timeout);
  }
  // Waits until at least `count` values match.
  bool WaitForMatching(const std::function<bool(const T&)>& match, size_t count = 1,
                       std::chrono::milliseconds timeout = kRecorderWait) const {
    return WaitFor(
        [&](const Values& all) {
          return static_cast<size_t>(std::count_if(all.begin(), all.end(), match)) >= count;
        },
        timeout);
  }
  // Waits until `value` has come at least `count` times.
  bool WaitForValue(const T& value, size_t count = 1,
                    std::chrono::milliseconds timeout = kRecorderWait) const {
    return WaitForMatching([&](const T& v) { return v == value; }, count, timeout);
  }

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Values values;
};

// Among lines written from any thread, the first that begins with `prefix`, once one has come
// within `timeout`; an empty text when none did.
inline std::string WaitForLineStarting(const Recorder<std::string>& lines,
                                       const std::string& prefix,
                                       std::chrono::milliseconds timeout = kRecorderWait) {
  const auto starts = [&prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; };
  if (!lines.WaitForMatching(starts, 1, timeout)) return {};
  for (const std::string& line : lines.All()) {
    if (starts(line)) return line;
  }
  return {};
}

// The window as a test sees it: every notice posted, in order. A notice's kind is its record type:
// sink.Of<ActivityNotice>(), sink.WaitForCount<StoppedNotice>(1).
class RecordingNoticeSink : public INoticeSink {
 public:
  void Post(Notice notice) override {
    {
      std::lock_guard guard(hookLock);
      if (onPost) onPost(notice);
    }
    notices.Add(std::move(notice));
  }
  // Runs `hook` on the poster's thread as each notice is posted, before it is recorded: what the
  // window would find if it acted on the notice at once.
  void OnPost(std::function<void(const Notice&)> hook) {
    std::lock_guard guard(hookLock);
    onPost = std::move(hook);
  }

  std::vector<Notice> Notices() const { return notices.All(); }
  template <typename Kind>
  std::vector<Kind> Of() const {
    return OfKind<Kind>(notices.All());
  }
  template <typename Kind>
  size_t CountOf(const std::function<bool(const Kind&)>& match = {}) const {
    return notices.CountIf([&](const Notice& n) { return Matches(n, match); });
  }

  // Waits until `done` holds for the notices posted so far.
  bool WaitFor(const std::function<bool(const std::vector<Notice>&)>& done,
               std::chrono::milliseconds timeout = kRecorderWait) const {
    return notices.WaitFor(done, timeout);
  }
  // Waits until at least `count` notices of one kind (that `match`, when given) have come.
  template <typename Kind>
  bool WaitForCount(size_t count, const std::function<bool(const Kind&)>& match = {},
                    std::chrono::milliseconds timeout = kRecorderWait) const {
    return notices.WaitForMatching([&](const Notice& n) { return Matches(n, match); }, count,
                                   timeout);
  }

  // The notices of one kind among `all`, in order.
  template <typename Kind>
  static std::vector<Kind> OfKind(const std::vector<Notice>& all) {
    std::vector<Kind> matching;
    for (const Notice& n : all) {
      if (const auto* kind = std::get_if<Kind>(&n)) matching.push_back(*kind);
    }
    return matching;
  }

 private:
  template <typename Kind>
  static bool Matches(const Notice& notice, const std::function<bool(const Kind&)>& match) {
    const auto* kind = std::get_if<Kind>(&notice);
    return kind != nullptr && (!match || match(*kind));
  }

  Recorder<Notice> notices;
  std::mutex hookLock;
  std::function<void(const Notice&)> onPost;  // guarded by hookLock
};

// Matchers for RecordingNoticeSink: a combined data record's publication (`data`) or the
// header's; notices about the box in `row`; an activity of that box.
inline std::function<bool(const PublishedNotice&)> Published(bool data) {
  return [data](const PublishedNotice& n) { return n.data == data; };
}
template <typename Kind>
std::function<bool(const Kind&)> OfRow(int32_t row) {
  return [row](const Kind& n) { return n.row == row; };
}
inline std::function<bool(const ActivityNotice&)> ActivityOf(ActivityStatus status, int32_t row) {
  return [status, row](const ActivityNotice& n) { return n.status == status && n.row == row; };
}

struct RecordedAlert {
  std::wstring text;
  AlertIcon icon;
};

// Installs itself as the process's alert facility for its lifetime.
class RecordingAlerts : public IAlertFacility {
 public:
  RecordingAlerts();
  ~RecordingAlerts() override;
  RecordingAlerts(const RecordingAlerts&) = delete;
  RecordingAlerts& operator=(const RecordingAlerts&) = delete;

  void Show(std::wstring_view text, AlertIcon icon) override;
  std::vector<RecordedAlert> Alerts() const { return alerts.All(); }
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kRecorderWait) const {
    return alerts.WaitForCount(count, timeout);
  }

 private:
  IAlertFacility* previous;
  Recorder<RecordedAlert> alerts;
};

}  // namespace tessamer::testkit
