#include "app/tessamer_app.h"

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <memory>

#include "app/app_texts.h"
#include "app/cli/demo_boxes.h"
#include "app/cli/mqtt_delivery.h"
#include "app/cli/program_log.h"
#include "app/screenshot_trigger.h"
#include "app/tessamer_dlg.h"
#include "app/version_text.h"
#include "app/window_alerts.h"
#include "hub/bridge/hub_bridge.h"
#include "hub/core/alerts.h"
#include "support/simple_log_file.h"
#include "support/text.h"


namespace tessamer {
namespace {

constexpr int kExitBadSettings = 2;  // as the headless program's for bad options

// The demo's boxes as the window's rows show them.
std::vector<PresetBox> PresetBoxesOf(const std::vector<Box>& boxes) {
  std::vector<PresetBox> rows;
  for (const Box& box : boxes) {
    rows.push_back(PresetBox{HostOrderOf(box.address), static_cast<uint16_t>(box.port)});
  }
  return rows;
}

// Each hub the window makes is attached to `live` (the uplink's health document) while it lives.
std::function<std::unique_ptr<IHubControl>(INoticeSink*)> HubMaker(const HubConfig& config,
                                                                   const std::optional<StatusEndpoint>& status,
                                                                   CLiveHealth& live) {
  return [config, status, &live](INoticeSink* window) -> std::unique_ptr<IHubControl> {
    std::unique_ptr<IHubControl> hub = std::make_unique<CHubBridge>(window, config);
    if (status) hub = std::make_unique<CHubWithStatus>(std::move(hub), *status);
    return WithLiveHealth(std::move(hub), live);
  };
}

// The trend's past from the recording in `file`, a point a second.
TrendPastSource TrendPastOf(const std::string& file) {
  if (file.empty()) return {};
  return [file](WallClock::time_point since) {
    const RecentValues recent = ReadRecentValues(file, since, std::chrono::seconds(1));
    TrendPast past;
    for (const ChannelSource& channel : recent.channels) {
      const auto found = recent.values.find(channel.name);
      std::deque<QPointF>& points = past.points[channel.name];
      if (found != recent.values.end()) {
        for (const auto& [at, value] : found->second) {
          const auto ms =
              std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
          points.emplace_back(static_cast<double>(ms.count()), value);
        }
      }
      past.channels.push_back(CombinedChannel{channel.name, channel.unit,
                                              points.empty() ? 0.0 : points.back().y()});
    }
    return past;
  };
}

// Restores the previous alert facility when the window's one goes.
class AlertInstallation {
 public:
  explicit AlertInstallation(IAlertFacility* facility)
      : previous(InstallAlertFacility(facility)) {}
  ~AlertInstallation() { InstallAlertFacility(previous); }
  AlertInstallation(const AlertInstallation&) = delete;
  AlertInstallation& operator=(const AlertInstallation&) = delete;

 private:
  IAlertFacility* previous;
};

}  // namespace

std::string DefaultRecordingPath() {
  const std::filesystem::path log = DefaultLogPath();
  if (log.empty()) return {};
  std::error_code ignored;  // a folder that cannot be made fails the recording's open, and says so
  std::filesystem::create_directories(log.parent_path(), ignored);
  return (log.parent_path() / kRecordingFileName).string();
}

namespace {

// The outputs of the combined job the window's hubs are given: the recording and the delivery to
// a broker. Members in the order they must outlive one another.
struct JobOutputs {
  std::shared_ptr<IJobOutput> recording;  // outlives the hubs
  CLiveHealth liveHealth;                 // outlives the delivery, which reads it
  CMqttDelivery delivery;                 // outlives the hubs: it is one of their outputs

  // Opens what `options` ask for, adds them to `hub`'s outputs and names the recording's file in
  // `choice`. False with `error` (one line) when the program must not start.
  bool Open(const WindowOptions& options, RecordingChoice& choice, HubConfig& hub,
            std::string& error) {
    if (options.record && choice.file.empty() && HasJobRecording()) {
      choice.file = DefaultRecordingPath();
    }
    const auto writeNote = [](const std::string& line) { DiagnosticLog().WriteRecordA(line); };
    const std::shared_ptr<IOutbox> outbox = RecordingOutboxFor(options.mqtt, choice, writeNote);
    if (!OpenJobRecording(
            choice, [](const RecordingNote& note) { DiagnosticLog().WriteRecordA(note.line); },
            recording, error)) {
      return false;
    }
    if (recording) hub.outputs.push_back(recording);
    if (!delivery.Start(options.mqtt, outbox, writeNote, error)) return false;
    delivery.SetHealth([this] { return liveHealth.Document(); });
    if (delivery.Output()) hub.outputs.push_back(delivery.Output());
    return true;
  }
};

// Starts the demo's boxes and points the rows and `hub` at them. False after telling the operator
// why they could not be started.
bool StartDemo(CDemoBoxes& demo, DialogOptions& dialogOptions, HubConfig& hub) {
  std::string error;
  if (!demo.Start(kDemoBoxCount, error)) {
    ShowAlert(L"The demo boxes could not be started. Detail: " + Widen(error), AlertIcon::Error);
    return false;
  }
  dialogOptions.presetBoxes = PresetBoxesOf(demo.Boxes());
  hub.boxUtilityPort = demo.UtilityPort();
  DiagnosticLog().WriteLine(L"Demo: " + std::to_wstring(kDemoBoxCount) +
                            L" simulated boxes on 127.0.0.2 upwards");
  return true;
}

}  // namespace

CTessamerApp::CTessamerApp(WindowOptions options) : options(std::move(options)) {}

int CTessamerApp::InitInstance(int& argc, char** argv) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName(kSettingsOrganisation);
  QCoreApplication::setApplicationName(kSettingsApplication);
  QCoreApplication::setApplicationVersion(ReadVersionText());
  OpenDiagnosticLog(options.logFile);

  CWindowAlerts alerts;
  AlertInstallation installed(&alerts);

  DialogOptions dialogOptions;
  dialogOptions.boxPort = options.boxPort;
  dialogOptions.channelLimit = options.channelLimit;
  dialogOptions.windowAlerts = &alerts;
  HubConfig hub = options.hub;
  CDemoBoxes demo;
  if (options.demo && !StartDemo(demo, dialogOptions, hub)) return 1;
  dialogOptions.serveAvailable = hub.serveAvailable;  // copies of the configuration share it
  RecordingChoice recordingChoice = options.recording;
  JobOutputs outputs;
  std::string error;
  if (!outputs.Open(options, recordingChoice, hub, error)) {
    std::fprintf(stderr, "tessamer: %s\n", error.c_str());
    ShowAlert(Widen(error), AlertIcon::Error);
    return kExitBadSettings;
  }
  dialogOptions.trendPast = TrendPastOf(recordingChoice.file);
  std::optional<StatusEndpoint> statusEndpoint = options.status;
  if (statusEndpoint) AddRecordsRoute(recordingChoice.file, *statusEndpoint);
  dialogOptions.makeHub = HubMaker(hub, statusEndpoint, outputs.liveHealth);

  int status = 0;
  {
    CTessamerDlg dialog(std::move(dialogOptions));
    alerts.SetOwner(&dialog);
    std::unique_ptr<CScreenshotTrigger> screenshot;
    if (options.screenshot.Any()) {
      screenshot = std::make_unique<CScreenshotTrigger>(dialog, options.screenshot);
    }
    dialog.exec();
    if (screenshot && !screenshot->Saved()) status = 1;
  }
  DiagnosticLog().WriteLine(L"Window closed");
  return status;
}

}  // namespace tessamer
