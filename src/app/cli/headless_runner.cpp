#include "app/cli/headless_runner.h"

#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/cli/demo_boxes.h"
#include "app/cli/status_options.h"
#include "app/status/hub_with_status.h"
#include "hub/core/alerts.h"
#include "support/platform.h"
#include "support/simple_log_file.h"
#include "support/text.h"


namespace tessamer {
namespace {

bool Printable(uint32_t message) {
  return message == WM_HUB_ACTIVITY || message == WM_HUB_HEADERS_COMPLETE ||
         message == WM_HUB_STOPPED || message == WM_HUB_CLIENT_CONNECTION ||
         message == WM_HUB_BOX_SILENCE;
}

const char* StatusName(uintptr_t status) {
  switch (status) {
    case Connected:
      return "Connected";
    case ConnectionLost:
      return "ConnectionLost";
    case ConnectFailed:
      return "ConnectFailed";
    default:
      return nullptr;
  }
}

bool AboutABox(uint32_t message) {
  return message == WM_HUB_ACTIVITY || message == WM_HUB_BOX_SILENCE;
}

const BoxHealth* BoxOfRow(const HubHealth& health, intptr_t row) {
  for (const BoxHealth& box : health.boxes) {
    if (box.row == row) return &box;
  }
  return nullptr;
}

std::string BoxField(const BoxHealth* box) {
  return box != nullptr ? " box=" + box->address + ":" + std::to_string(box->port) : std::string();
}

// The box's last error as one quoted field; a double quote in it becomes a single one.
std::string ReasonField(const BoxHealth* box) {
  if (box == nullptr || box->lastError.empty()) return {};
  std::string text = box->lastError;
  for (char& c : text) {
    if (c == '"') c = '\'';
    if (c == '\r' || c == '\n') c = ' ';
  }
  return " reason=\"" + text + "\"";
}

std::string ActivityLine(const Notice& notice, const HubHealth& health) {
  const char* name = StatusName(notice.wParam);
  const BoxHealth* box = BoxOfRow(health, notice.lParam);
  const bool failure = notice.wParam == ConnectionLost || notice.wParam == ConnectFailed;
  return "activity row=" + std::to_string(notice.lParam) +
         " status=" + (name != nullptr ? std::string(name) : std::to_string(notice.wParam)) +
         BoxField(box) + (failure ? ReasonField(box) : std::string());
}

std::string SilenceLine(const Notice& notice, const HubHealth& health) {
  const std::string row = std::to_string(notice.wParam);
  if (notice.lParam == 0) return "speaking row=" + row;
  return "silent row=" + row + BoxField(BoxOfRow(health, static_cast<intptr_t>(notice.wParam))) +
         " seconds=" + std::to_string(notice.lParam);
}

std::string ClientLine(const Notice& notice) {
  const bool connected = (notice.lParam & 0xff) == 0;
  std::string line = std::string(connected ? "client connected" : "client disconnected") +
                     " socket=" + std::to_string(notice.wParam);
  if (connected && !notice.text.empty()) line += " peer=" + Narrow(notice.text);
  return line;
}

// Seconds with up to three decimals, trailing zeros left out: "0.2", "1.6", "12".
std::string SecondsText(std::chrono::milliseconds wait) {
  const int64_t ms = wait.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 == 0) return text;
  std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
  while (fraction.back() == '0') fraction.pop_back();
  return text + "." + fraction;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
  return text;
}

void WriteToStandardOutput(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// In the user's application-data folder, as the window keeps it.
std::filesystem::path DefaultLogPath() {
  const std::filesystem::path base = UserDataFolder();
  if (base.empty()) return {};
  return base / "Vellumetric Systems" / "Tessamer" / "tessamer-log.txt";
}

void OpenLog(const CommandLine& options) {
  std::filesystem::path path = options.logFile.empty() ? DefaultLogPath() : std::filesystem::path(options.logFile);
  if (path.empty()) return;
  std::error_code ignored;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
  if (!DiagnosticLog().Open(path.string())) {
    std::fprintf(stderr, "tessamer: the log file %s could not be opened: %s\n", path.string().c_str(),
                 Narrow(DiagnosticLog().LastError().text).c_str());
    return;
  }
  DiagnosticLog().WriteBanner();
}

}  // namespace

CHeadlessRunner::CHeadlessRunner(RunSettings settings, HubConfig config, HubFactory makeHub,
                                 LineWriter writer)
    : settings(std::move(settings)),
      config(std::move(config)),
      makeHub(std::move(makeHub)),
      writer(writer ? std::move(writer) : LineWriter(WriteToStandardOutput)) {}

std::string CHeadlessRunner::LineOf(const Notice& notice, const HubHealth& health) {
  switch (notice.message) {
    case WM_HUB_ACTIVITY:
      return ActivityLine(notice, health);
    case WM_HUB_HEADERS_COMPLETE:
      return "headers-complete";
    case WM_HUB_STOPPED:
      return "stopped";
    case WM_HUB_CLIENT_CONNECTION:
      return ClientLine(notice);
    case WM_HUB_BOX_SILENCE:
      return SilenceLine(notice, health);
    default:
      return {};
  }
}

std::string CHeadlessRunner::Describe(const Notice& notice) const {
  if (liveHub == nullptr || !AboutABox(notice.message)) return LineOf(notice);
  return LineOf(notice, liveHub->Health());
}

void CHeadlessRunner::Post(Notice notice) {
  if (!Printable(notice.message)) return;  // data-flow notices come often and print nothing
  {
    std::lock_guard guard(mutex);
    notices.push_back(std::move(notice));
  }
  wake.notify_one();
}

void CHeadlessRunner::RequestStop() {
  {
    std::lock_guard guard(mutex);
    stopRequested = true;
  }
  wake.notify_one();
}

void CHeadlessRunner::RequestReload() {
  {
    std::lock_guard guard(mutex);
    reloadRequested = true;
  }
  wake.notify_one();
}

void CHeadlessRunner::KeepTrying(std::chrono::milliseconds wait) {
  firstWait = wait;
  nextWait = wait;
}

void CHeadlessRunner::SetRereader(Rereader rereader) { reread = std::move(rereader); }

void CHeadlessRunner::SetNotifier(CServiceNotifier* serviceNotifier) { notifier = serviceNotifier; }

// A heartbeat that is due goes first, so that a stream of notices cannot hold it up.
CHeadlessRunner::Event CHeadlessRunner::NextEvent(Notice& notice) {
  if (heartbeatAt && std::chrono::steady_clock::now() >= *heartbeatAt) return Event::Heartbeat;
  std::unique_lock lock(mutex);
  const auto ready = [this] { return !notices.empty() || stopRequested || reloadRequested; };
  std::optional<std::chrono::steady_clock::time_point> deadline = retryAt;
  if (heartbeatAt && (!deadline || *heartbeatAt < *deadline)) deadline = heartbeatAt;
  if (!deadline) {
    wake.wait(lock, ready);
  } else if (!wake.wait_until(lock, *deadline, ready)) {
    if (deadline == heartbeatAt) return Event::Heartbeat;
    retryAt.reset();
    return Event::Retry;
  }
  if (!notices.empty()) {
    notice = std::move(notices.front());
    notices.pop_front();
    return Event::Notice;
  }
  if (stopRequested) return Event::Stop;
  reloadRequested = false;
  return Event::Reload;
}

void CHeadlessRunner::Print(const std::string& line) {
  if (!line.empty()) writer(line);
}

bool CHeadlessRunner::PrintPending() {
  bool stopped = false;
  std::deque<Notice> pending;
  {
    std::lock_guard guard(mutex);
    pending.swap(notices);
  }
  for (const Notice& n : pending) {
    Print(Describe(n));
    if (notifier != nullptr) notifier->Follow(n);
    stopped = stopped || n.message == WM_HUB_STOPPED;
  }
  return stopped;
}

void CHeadlessRunner::Follow(const Notice& notice) {
  if (notifier != nullptr) notifier->Follow(notice);
  if (notice.message != WM_HUB_ACTIVITY) return;
  if (notice.wParam == ConnectFailed) boxFailed = true;
  if (notice.wParam != Connected) return;
  connectedRows.insert(notice.lParam);
  if (connectedRows.size() == runBoxes) nextWait = firstWait;  // the run got every box
}

bool CHeadlessRunner::StartRun(IHubControl& hub) {
  std::vector<Box> boxes;
  size_t failed = 0;
  std::string why;
  connectedRows.clear();
  boxFailed = false;
  if (notifier != nullptr) notifier->RunStarted(settings.boxes.size());
  if (!ResolveBoxes(settings.boxes, settings.boxPort, boxes, failed, why)) {
    const std::string& host = settings.boxes[failed].host;
    DiagnosticLog().WriteRecordA("Box name " + host + " could not be resolved: " + why);
    Print("activity row=" + std::to_string(failed) + " status=ConnectFailed host=" + host);
    Print("stopped");
    return false;
  }
  runBoxes = boxes.size();
  runActive = true;
  hub.Start(boxes, settings.channelLimit);
  return true;
}

void CHeadlessRunner::EndRun(IHubControl& hub) {
  if (!runActive) return;
  runActive = false;
  hub.Stop();  // waits for the run's end: its last notices are queued by now
  PrintPending();
}

bool CHeadlessRunner::RetryLater(const char* reason) {
  if (firstWait.count() == 0) return false;
  const std::chrono::milliseconds wait = nextWait;
  nextWait = std::min(wait * 2, firstWait * kRetryWaitGrowthLimit);
  retryAt = std::chrono::steady_clock::now() + wait;
  Print("run retry in=" + SecondsText(wait) + " reason=" + reason);
  return true;
}

bool CHeadlessRunner::Reload(IHubControl& hub) {
  if (!reread) return true;
  const Reread result = reread();
  if (!result.ok) {
    Print("reload failed reason=" + result.error);
    return true;
  }
  if (!result.kept.empty()) Print("reload kept=" + Joined(result.kept) + " reason=restart-needed");
  if (result.run == settings) {
    Print("reload unchanged");
    return true;
  }
  settings = result.run;
  Print("reload restart boxes=" + std::to_string(settings.boxes.size()) +
        " channels=" + std::to_string(settings.channelLimit));
  EndRun(hub);
  retryAt.reset();
  nextWait = firstWait;
  return StartRun(hub) || RetryLater("unresolved");
}

void CHeadlessRunner::NotifyReady(IHubControl& hub) {
  if (notifier == nullptr) return;
  notifier->Ready();
  if (notifier->HeartbeatPeriod().count() > 0) Heartbeat(hub);
}

void CHeadlessRunner::Heartbeat(IHubControl& hub) {
  notifier->Heartbeat(hub);
  heartbeatAt = std::chrono::steady_clock::now() + notifier->HeartbeatPeriod();
}

void CHeadlessRunner::NotifyStopping() {
  heartbeatAt.reset();
  if (notifier != nullptr) notifier->Stopping();
}

int CHeadlessRunner::Stop(std::unique_ptr<IHubControl> owned) {
  NotifyStopping();
  owned->Stop();  // as the window's close: the run ends, and the hub says so with "stopped"
  bool stopped = PrintPending();
  liveHub = nullptr;
  owned.reset();
  stopped = PrintPending() || stopped;
  if (!stopped) Print("stopped");
  return kExitStopped;
}

int CHeadlessRunner::Run() {
  std::unique_ptr<IHubControl> owned = makeHub(this, config);
  if (!owned->StartServers()) {
    ShowAlert(L"Could not start server. Detail: " + owned->StartError().text, AlertIcon::Error);
    owned.reset();
    return kExitNoDataServer;
  }
  liveHub = owned.get();
  const uint16_t statusPort = owned->StatusPort();
  Print("listening data=" + std::to_string(owned->DataPort()) +
        " utility=" + std::to_string(owned->UtilityPort()) +
        (statusPort != 0 ? " status=" + std::to_string(statusPort) : std::string()));
  NotifyReady(*owned);
  bool going = StartRun(*owned) || RetryLater("unresolved");
  while (going) {
    Notice notice;
    switch (NextEvent(notice)) {
      case Event::Notice:
        Print(Describe(notice));
        Follow(notice);
        if (notice.message == WM_HUB_STOPPED && runActive) {
          // Nobody asked for the end: a box could not be reached when the run started, or the
          // run ended for a reason of its own.
          EndRun(*owned);
          going = RetryLater(boxFailed ? "unreachable" : "ended");
        }
        break;
      case Event::Retry:
        going = StartRun(*owned) || RetryLater("unresolved");
        break;
      case Event::Reload:
        going = Reload(*owned);
        break;
      case Event::Heartbeat:
        Heartbeat(*owned);
        break;
      case Event::Stop:
        return Stop(std::move(owned));
    }
  }
  NotifyStopping();
  liveHub = nullptr;
  owned.reset();
  PrintPending();
  return kExitRunEnded;
}

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

// Asks `runner` to re-read the settings at every SIGHUP from now on.
void AwaitHangups(asio::signal_set& hangups, CHeadlessRunner& runner) {
  hangups.async_wait([&hangups, &runner](const asio::error_code& error, int) {
    if (error) return;
    runner.RequestReload();
    AwaitHangups(hangups, runner);
  });
}

}  // namespace

CHeadlessRunner::HubFactory WithStatusEndpoint(CHeadlessRunner::HubFactory makeHub,
                                               const std::optional<StatusEndpoint>& status) {
  if (!status) return makeHub;
  return [makeHub = std::move(makeHub), endpoint = *status](INoticeSink* sink, const HubConfig& config) -> std::unique_ptr<IHubControl> {
    return std::make_unique<CHubWithStatus>(makeHub(sink, config), endpoint);
  };
}

int RunHeadless(const std::vector<std::string>& args, const CommandLine& options,
                const CHeadlessRunner::HubFactory& makeHub) {
  // Signals first, so that an early SIGINT already ends the run in order. Asio wakes its own
  // thread from the signal handler; the handler itself does nothing else.
  asio::io_context signalContext;
  asio::signal_set signals(signalContext, SIGINT, SIGTERM);
#if defined(SIGHUP)
  asio::signal_set hangups(signalContext, SIGHUP);
#endif

  std::optional<StatusEndpoint> statusEndpoint;
  std::string statusError;
  if (!StatusEndpointOf(options, statusEndpoint, statusError)) {
    std::fprintf(stderr, "tessamer: %s\n", statusError.c_str());
    return kExitBadOptions;
  }
  OpenLog(options);
  HubConfig config = HubConfigOf(options);
  CDemoBoxes demo;
  if (options.demo && options.boxes.empty()) {
    std::string error;
    if (!demo.Start(kDemoBoxCount, error)) {
      std::fprintf(stderr, "tessamer: the simulated boxes could not start: %s\n", error.c_str());
      return kExitBadOptions;
    }
    config.boxUtilityPort = demo.UtilityPort();
  }

  CHeadlessRunner runner(RunSettingsOf(options, demo), std::move(config), WithStatusEndpoint(makeHub, statusEndpoint));
  runner.KeepTrying(options.keepTrying);
  const std::unique_ptr<CServiceNotifier> notifier = CServiceNotifier::FromEnvironment();
  runner.SetNotifier(notifier.get());
  runner.SetRereader([&args, &options, &demo] {
    Reread result;
    CommandLine reread;
    result.ok = ParseCommandLine(args, reread, result.error);
    if (result.ok) {
      result.run = RunSettingsOf(reread, demo);
      result.kept = RestartOnlyChanges(options, reread);
    }
    return result;
  });
  signals.async_wait([&runner](const asio::error_code& error, int) {
    if (!error) runner.RequestStop();
  });
  const CConsoleStopKeys stopKeys([&runner] { runner.RequestStop(); });  // Windows' Ctrl-C, Ctrl-Break
#if defined(SIGHUP)
  AwaitHangups(hangups, runner);
#endif
  std::thread signalThread([&signalContext] { signalContext.run(); });
  const int status = runner.Run();
  asio::error_code ignored;
  signals.cancel(ignored);
#if defined(SIGHUP)
  hangups.cancel(ignored);
#endif
  signalContext.stop();
  signalThread.join();
  return status;
}

}  // namespace tessamer
