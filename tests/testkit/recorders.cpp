#include "testkit/recorders.h"

#include <algorithm>

namespace tessamer::testkit {

void RecordingNoticeSink::Post(Notice notice) {
  // Notify under the lock: a waiter may destroy the sink as soon as it sees the notice.
  std::lock_guard guard(mutex);
  notices.push_back(std::move(notice));
  changed.notify_all();
}

std::vector<Notice> RecordingNoticeSink::Notices() const {
  std::lock_guard guard(mutex);
  return notices;
}

std::vector<Notice> RecordingNoticeSink::NoticesOf(uint32_t message) const {
  std::lock_guard guard(mutex);
  std::vector<Notice> matching;
  for (const auto& n : notices) {
    if (n.message == message) matching.push_back(n);
  }
  return matching;
}

size_t RecordingNoticeSink::CountOf(uint32_t message) const {
  std::lock_guard guard(mutex);
  return static_cast<size_t>(std::count_if(notices.begin(), notices.end(),
                                           [&](const Notice& n) { return n.message == message; }));
}

bool RecordingNoticeSink::WaitFor(const std::function<bool(const std::vector<Notice>&)>& done,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock guard(mutex);
  return changed.wait_for(guard, timeout, [&] { return done(notices); });
}

bool RecordingNoticeSink::WaitForCount(uint32_t message, size_t count,
                                       std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&](const std::vector<Notice>& all) {
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const Notice& n) {
                 return n.message == message;
               })) >= count;
      },
      timeout);
}

RecordingAlerts::RecordingAlerts() : previous(InstallAlertFacility(this)) {}

RecordingAlerts::~RecordingAlerts() { InstallAlertFacility(previous); }

void RecordingAlerts::Show(std::wstring_view text, AlertIcon icon) {
  // Notify under the lock: a waiter may destroy the recorder as soon as it sees the alert.
  std::lock_guard guard(mutex);
  alerts.push_back({std::wstring(text), icon});
  changed.notify_all();
}

std::vector<RecordedAlert> RecordingAlerts::Alerts() const {
  std::lock_guard guard(mutex);
  return alerts;
}

bool RecordingAlerts::WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(mutex);
  return changed.wait_for(guard, timeout, [&] { return alerts.size() >= count; });
}

}  // namespace tessamer::testkit
