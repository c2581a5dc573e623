#include "testkit/recorders.h"

namespace tessamer::testkit {

RecordingAlerts::RecordingAlerts() : previous(InstallAlertFacility(this)) {}

RecordingAlerts::~RecordingAlerts() { InstallAlertFacility(previous); }

void RecordingAlerts::Show(std::wstring_view text, AlertIcon icon) {
  alerts.Add({std::wstring(text), icon});
}

}  // namespace tessamer::testkit
