#pragma once
// The operator's message boxes when there is a window: a modal box on the window thread. A caller
// on the window thread sees the box at once; a caller on another thread waits until the operator
// has closed it.
//
// One exception keeps the window from dead-locking: while the window thread itself waits for the
// hub (closing, see WindowBlocked), a box for another thread cannot be shown. Such texts are kept,
// the callers go on at once, and the window shows the kept texts when it is free again
// (ShowHeld).
//
// Threads: Show from any thread; everything else on the window thread. `mutex` guards
// `requests`, `held` and `blocked`.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "hub/core/alerts.h"

namespace tessamer {

class CWindowAlerts : public QObject, public IAlertFacility {
  Q_OBJECT

 public:
  // Must be created on the window thread. `owner` (may be null) is the boxes' parent window.
  explicit CWindowAlerts(QWidget* owner = nullptr);
  // Releases every waiting caller; their texts are not shown.
  ~CWindowAlerts() override;
  CWindowAlerts(const CWindowAlerts&) = delete;
  CWindowAlerts& operator=(const CWindowAlerts&) = delete;

  void Show(std::wstring_view text, AlertIcon icon) override;
  void SetOwner(QWidget* window) { owner = window; }

  // Marks the window thread as waiting for something that may itself want to show a box, for the
  // scope's lifetime.
  class WindowBlocked {
   public:
    explicit WindowBlocked(CWindowAlerts* alerts);
    ~WindowBlocked();
    WindowBlocked(const WindowBlocked&) = delete;
    WindowBlocked& operator=(const WindowBlocked&) = delete;

   private:
    CWindowAlerts* alerts;
  };

  // Shows, one after the other, the texts kept while the window was blocked.
  void ShowHeld();

 protected:
  // Shows one modal box and returns when it is closed. Tests replace it.
  virtual void ShowBox(const QString& text, AlertIcon icon);

 private:
  struct Request {
    QString text;
    AlertIcon icon;
    std::promise<void> answered;
  };
  struct Held {
    QString text;
    AlertIcon icon;
  };

  void Block();
  void Unblock();
  void ServeRequests();  // window thread: shows the requests of other threads in arrival order
  void ReleaseRequestsLocked();  // caller holds `mutex`: keeps their texts, lets the callers go

  QPointer<QWidget> owner;
  std::mutex mutex;
  std::deque<std::shared_ptr<Request>> requests;
  std::vector<Held> held;
  bool blocked = false;
};

}  // namespace tessamer
