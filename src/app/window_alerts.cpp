#include "app/window_alerts.h"

#include <QMessageBox>
#include <QThread>

#include "support/simple_log_file.h"

namespace tessamer {
namespace {

QMessageBox::Icon BoxIcon(AlertIcon icon) {
  switch (icon) {
    case AlertIcon::Error:
    case AlertIcon::Stop:  // the platform draws "stop" and "error" alike
      return QMessageBox::Critical;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

CWindowAlerts::CWindowAlerts(QWidget* owner) : owner(owner) {}

CWindowAlerts::~CWindowAlerts() {
  std::lock_guard guard(mutex);
  blocked = true;
  ReleaseRequestsLocked();
}

void CWindowAlerts::Show(std::wstring_view text, AlertIcon icon) {
  DiagnosticLog().WriteLine(std::wstring(L"Alert: ") + std::wstring(text));
  const QString boxText = QString::fromStdWString(std::wstring(text));
  if (QThread::currentThread() == thread()) {
    ShowBox(boxText, icon);
    return;
  }
  auto request = std::make_shared<Request>(Request{boxText, icon, {}});
  std::future<void> answered = request->answered.get_future();
  {
    std::lock_guard guard(mutex);
    if (blocked) {
      held.push_back(Held{boxText, icon});
      return;
    }
    requests.push_back(request);
  }
  QMetaObject::invokeMethod(this, &CWindowAlerts::ServeRequests, Qt::QueuedConnection);
  answered.wait();
}

void CWindowAlerts::ServeRequests() {
  for (;;) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard guard(mutex);
      if (requests.empty()) return;
      request = requests.front();
      requests.pop_front();
    }
    ShowBox(request->text, request->icon);
    request->answered.set_value();
  }
}

void CWindowAlerts::ReleaseRequestsLocked() {
  for (const std::shared_ptr<Request>& request : requests) {
    held.push_back(Held{request->text, request->icon});
    request->answered.set_value();
  }
  requests.clear();
}

void CWindowAlerts::Block() {
  std::lock_guard guard(mutex);
  blocked = true;
  ReleaseRequestsLocked();
}

void CWindowAlerts::Unblock() {
  std::lock_guard guard(mutex);
  blocked = false;
}

void CWindowAlerts::ShowHeld() {
  std::vector<Held> texts;
  {
    std::lock_guard guard(mutex);
    texts.swap(held);
  }
  for (const Held& text : texts) ShowBox(text.text, text.icon);
}

void CWindowAlerts::ShowBox(const QString& text, AlertIcon icon) {
  QMessageBox box(BoxIcon(icon), QStringLiteral("Tessamer"), text, QMessageBox::Ok, owner.data());
  box.exec();
}

CWindowAlerts::WindowBlocked::WindowBlocked(CWindowAlerts* alerts) : alerts(alerts) {
  if (alerts != nullptr) alerts->Block();
}

CWindowAlerts::WindowBlocked::~WindowBlocked() {
  if (alerts != nullptr) alerts->Unblock();
}

}  // namespace tessamer
