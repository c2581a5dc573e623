#pragma once
// Recording stand-ins for the window: a notice sink and an alert facility that keep what they get
// and let a test wait, with a bound, for what it expects.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/alerts.h"
#include "hub/core/notices.h"

namespace tessamer::testkit {

using namespace std::chrono_literals;

class RecordingNoticeSink : public INoticeSink {
 public:
  void Post(Notice notice) override;

  std::vector<Notice> Notices() const;
  std::vector<Notice> NoticesOf(uint32_t message) const;
  size_t CountOf(uint32_t message) const;

  // Waits until `done` holds for the recorded notices, or `timeout` passes. True when it held.
  bool WaitFor(const std::function<bool(const std::vector<Notice>&)>& done,
               std::chrono::milliseconds timeout = 10s) const;
  // Waits until at least `count` notices with `message` have arrived.
  bool WaitForCount(uint32_t message, size_t count, std::chrono::milliseconds timeout = 10s) const;

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Notice> notices;
};

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
  std::vector<RecordedAlert> Alerts() const;
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = 10s) const;

 private:
  IAlertFacility* previous;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<RecordedAlert> alerts;
};

}  // namespace tessamer::testkit
