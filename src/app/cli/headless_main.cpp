#include "app/cli/headless_main.h"

#include <asio.hpp>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/cli/demo_boxes.h"
#include "app/cli/job_recording.h"
#include "app/cli/mqtt_delivery.h"
#include "app/cli/program_log.h"
#include "app/cli/service_notifier.h"
#include "app/cli/status_options.h"
#include "app/status/hub_with_status.h"
#include "support/platform.h"

namespace tessamer {
namespace {

// The settings of a run of `options`; with --demo and no box, the demo's boxes.
RunSettings RunSettingsOf(const CommandLine& options, const CDemoBoxes& demo) {
  RunSettings settings{options.boxes, options.boxPort, options.channels};
  if (settings.boxes.empty()) {
    for (const Box& box : demo.Boxes()) {
      settings.boxes.push_back(BoxOption{DottedText(box.address), static_cast<uint16_t>(box.port)});
    }
  }
  return settings;
}

// Reads `args` again as the run's new settings, and which changes need a restart; the
// delivery to a broker takes its new settings at once.
CHeadlessRunner::Rereader RereaderOf(const std::vector<std::string>& args,
                                     const CommandLine& options, const CDemoBoxes& demo,
                                     CMqttDelivery& delivery) {
  return [&args, &options, &demo, &delivery] {
    Reread result;
    CommandLine reread;
    result.ok = ParseCommandLine(args, reread, result.error);
    if (result.ok) {
      result.run = RunSettingsOf(reread, demo);
      result.kept = RestartOnlyChanges(options, reread);
      result.ok = delivery.Reload(reread, result.kept, result.error);
    }
    return result;
  };
}


// The signals the program awaits, registered from construction on so that one that comes early
// waits for the runner instead of ending the process; delivered on a thread of their own from
// Start to Stop. Asio wakes that thread from the signal handler; the handler does nothing else.
class CSignalWatch {
 public:
  CSignalWatch() = default;
  ~CSignalWatch() { Stop(); }
  CSignalWatch(const CSignalWatch&) = delete;
  CSignalWatch& operator=(const CSignalWatch&) = delete;

  // `runner` must outlive Stop.
  void Start(CHeadlessRunner& runner) {
    stops.async_wait([&runner](const asio::error_code& error, int) {
      if (!error) runner.RequestStop();
    });
    AwaitHangup(runner);
    thread = std::thread([this] { context.run(); });
  }
  void Stop() {
    if (!thread.joinable()) return;
    asio::error_code ignored;
    stops.cancel(ignored);
    hangups.cancel(ignored);
    context.stop();
    thread.join();
  }

 private:
  // Asks `runner` to re-read the settings at every SIGHUP from now on.
  void AwaitHangup(CHeadlessRunner& runner) {
#if defined(SIGHUP)
    hangups.async_wait([this, &runner](const asio::error_code& error, int) {
      if (error) return;
      runner.RequestReload();
      AwaitHangup(runner);
    });
#endif
  }

  asio::io_context context;
  asio::signal_set stops{context, SIGINT, SIGTERM};
#if defined(SIGHUP)
  asio::signal_set hangups{context, SIGHUP};
#else
  asio::signal_set hangups{context};
#endif
  std::thread thread;
};

}  // namespace

CHeadlessRunner::HubFactory WithStatusEndpoint(CHeadlessRunner::HubFactory makeHub,
                                               const std::optional<StatusEndpoint>& status) {
  if (!status) return makeHub;
  return [makeHub = std::move(makeHub), endpoint = *status](
             INoticeSink* sink, const HubConfig& config) -> std::unique_ptr<IHubControl> {
    return std::make_unique<CHubWithStatus>(makeHub(sink, config), endpoint);
  };
}

int RunHeadless(const std::vector<std::string>& args, const CommandLine& options,
                const CHeadlessRunner::HubFactory& makeHub) {
  CSignalWatch signals;  // first, so that an early SIGINT already ends the run in order
  std::optional<StatusEndpoint> statusEndpoint;
  std::string statusError;
  if (!StatusEndpointOf(options, statusEndpoint, statusError)) {
    std::fprintf(stderr, "tessamer: %s\n", statusError.c_str());
    return kExitBadOptions;
  }
  OpenDiagnosticLog(options.logFile);
  HubConfig config = HubConfigOf(options);
  CRecordingLines lines(WriteLineToStandardOutput);  // outlives the recording
  std::shared_ptr<IJobOutput> recording;              // outlives the runner's hubs
  std::string recordingError;
  RecordingChoice choice = RecordingChoiceOf(options);
  const std::shared_ptr<IOutbox> outbox = RecordingOutboxFor(options.mqtt, choice, lines.Writer());
  if (!OpenJobRecording(choice, lines.Report(), recording, recordingError)) {
    std::fprintf(stderr, "tessamer: %s\n", recordingError.c_str());
    return kExitBadOptions;
  }
  if (recording) config.outputs.push_back(recording);
  if (statusEndpoint) AddRecordsRoute(RecordingChoiceOf(options).file, *statusEndpoint);
  CDemoBoxes demo;
  if (options.demo && options.boxes.empty()) {
    std::string error;
    if (!demo.Start(kDemoBoxCount, error)) {
      std::fprintf(stderr, "tessamer: the simulated boxes could not start: %s\n", error.c_str());
      return kExitBadOptions;
    }
    config.boxUtilityPort = demo.UtilityPort();
  }
  CLiveHealth liveHealth;  // outlives the delivery, which reads it
  CMqttDelivery delivery;  // outlives the runner's hubs: it is one of their outputs
  std::string error;
  if (!delivery.Start(options.mqtt, outbox, lines.Writer(), error)) {
    std::fprintf(stderr, "tessamer: %s\n", error.c_str());
    return kExitBadOptions;
  }
  delivery.SetHealth([&liveHealth] { return liveHealth.Document(); });
  if (delivery.Output()) config.outputs.push_back(delivery.Output());
  CHeadlessRunner runner(RunSettingsOf(options, demo), std::move(config),
                         WithLiveHealth(WithStatusEndpoint(makeHub, statusEndpoint), liveHealth),
                         lines.RunnerWriter());
  runner.KeepTrying(options.keepTrying);
  const std::unique_ptr<CServiceNotifier> notifier = CServiceNotifier::FromEnvironment();
  runner.SetNotifier(notifier.get());
  runner.SetRereader(RereaderOf(args, options, demo, delivery));
  signals.Start(runner);
  // Windows' Ctrl-C and Ctrl-Break; elsewhere the terminal's keys raise SIGINT.
  const CConsoleStopKeys stopKeys([&runner] { runner.RequestStop(); });
  const int status = runner.Run();
  signals.Stop();
  delivery.Stop();  // after the hub: the cursor written, then the offline status
  return status;
}

}  // namespace tessamer
