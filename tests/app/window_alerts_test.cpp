// Message boxes from any thread: the window thread shows them; other threads wait for the
// operator, except while the window thread itself waits.

#include "app/window_alerts.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <thread>

namespace tessamer {
namespace {

// Records the boxes instead of showing them, and can end an event loop when one is shown.
class RecordingWindowAlerts : public CWindowAlerts {
 public:
  struct Shown {
    QString text;
    AlertIcon icon;
    bool callerWaiting;
  };

  std::vector<Shown> shown;
  std::atomic<bool>* callerReturned = nullptr;
  QEventLoop* loop = nullptr;

 protected:
  void ShowBox(const QString& text, AlertIcon icon) override {
    shown.push_back(Shown{text, icon, callerReturned != nullptr && !callerReturned->load()});
    if (loop != nullptr) loop->quit();
  }
};

// Runs the window's event loop until a box is shown or `bound` passes.
bool RunUntilShown(RecordingWindowAlerts& alerts, std::chrono::milliseconds bound) {
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  bool timedOut = false;
  QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
    timedOut = true;
    loop.quit();
  });
  timer.start(bound);
  alerts.loop = &loop;
  loop.exec();
  alerts.loop = nullptr;
  return !timedOut;
}

TEST(WindowAlertsTest, TheWindowThreadShowsItsOwnBoxAtOnce) {
  RecordingWindowAlerts alerts;
  alerts.Show(L"Utility server could not be started.", AlertIcon::Error);
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].text, QStringLiteral("Utility server could not be started."));
  EXPECT_EQ(alerts.shown[0].icon, AlertIcon::Error);
}

TEST(WindowAlertsTest, AnotherThreadWaitsUntilTheWindowHasShownItsBox) {
  RecordingWindowAlerts alerts;
  std::atomic<bool> returned{false};
  alerts.callerReturned = &returned;
  std::thread caller([&] {
    alerts.Show(L"A problem occurred while starting agents. Detail: x", AlertIcon::Error);
    returned = true;
  });
  ASSERT_TRUE(RunUntilShown(alerts, std::chrono::seconds(10)));
  caller.join();
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_TRUE(alerts.shown[0].callerWaiting);
  EXPECT_EQ(alerts.shown[0].text, QStringLiteral("A problem occurred while starting agents. Detail: x"));
}

TEST(WindowAlertsTest, WhileTheWindowWaitsOtherThreadsGoOnAndTheTextIsShownAfterwards) {
  RecordingWindowAlerts alerts;
  {
    CWindowAlerts::WindowBlocked blocked(&alerts);
    // Without the exception this join would never return: the window thread is not serving.
    std::thread caller([&] {
      alerts.Show(L"Background agents could not be stopped. Please restart application",
                  AlertIcon::None);
    });
    caller.join();
    EXPECT_TRUE(alerts.shown.empty());
  }
  alerts.ShowHeld();
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].text,
            QStringLiteral("Background agents could not be stopped. Please restart application"));
  EXPECT_EQ(alerts.shown[0].icon, AlertIcon::None);
  alerts.ShowHeld();
  EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST(WindowAlertsTest, EnteringTheWaitReleasesACallerWhetherQueuedOrNot) {
  std::thread caller;
  std::atomic<bool> returned{false};
  {
    auto alerts = std::make_unique<RecordingWindowAlerts>();
    caller = std::thread([&, facility = alerts.get()] {
      facility->Show(L"late", AlertIcon::Error);
      returned = true;
    });
    // The caller may or may not have queued its request yet; either way it must not hang.
    CWindowAlerts::WindowBlocked blocked(alerts.get());
    caller.join();
  }
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace tessamer
