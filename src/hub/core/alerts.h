#pragma once
// The operator's message boxes, shown from any thread. The window shows a modal box on its own
// thread and blocks the caller until the operator closes it; without a window the text goes to the
// diagnostic log and standard error and the call returns at once.

#include <string>
#include <string_view>

namespace tessamer {

enum class AlertIcon { None, Error, Stop };

class IAlertFacility {
 public:
  virtual ~IAlertFacility() = default;
  // Threads: any. May block until the operator has read the text.
  virtual void Show(std::wstring_view text, AlertIcon icon) = 0;
};

// Logs the text and writes "alert: <text>" to standard error; never blocks.
class CConsoleAlerts : public IAlertFacility {
 public:
  void Show(std::wstring_view text, AlertIcon icon) override;
};

// Shows an alert through the installed facility (the console one when none is installed).
void ShowAlert(std::wstring_view text, AlertIcon icon = AlertIcon::Error);

// Installs `facility` for the whole process (nullptr restores the console one) and returns the
// previous one. The facility must outlive every ShowAlert call that can reach it.
IAlertFacility* InstallAlertFacility(IAlertFacility* facility);

// True while a facility other than the console one is installed (a window is there to answer).
bool HasAlertWindow();

}  // namespace tessamer
