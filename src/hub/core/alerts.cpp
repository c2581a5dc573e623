#include "hub/core/alerts.h"

#include <atomic>
#include <cstdio>

#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {
namespace {

CConsoleAlerts consoleAlerts;
std::atomic<IAlertFacility*> installed{nullptr};

}  // namespace

void CConsoleAlerts::Show(std::wstring_view text, AlertIcon) {
  DiagnosticLog().WriteLine(std::wstring(L"Alert: ") + std::wstring(text));
  const std::string line = "alert: " + Narrow(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void ShowAlert(std::wstring_view text, AlertIcon icon) {
  IAlertFacility* facility = installed.load();
  (facility != nullptr ? *facility : static_cast<IAlertFacility&>(consoleAlerts)).Show(text, icon);
}

IAlertFacility* InstallAlertFacility(IAlertFacility* facility) { return installed.exchange(facility); }

bool HasAlertWindow() { return installed.load() != nullptr; }

}  // namespace tessamer
