#include "app/cli/headless_runner.h"

#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/cli/demo_boxes.h"
#include "hub/core/alerts.h"
#include "support/simple_log_file.h"
#include "support/text.h"


namespace tessamer {
namespace {

bool Printable(uint32_t message) {
  return message == WM_HUB_ACTIVITY || message == WM_HUB_HEADERS_COMPLETE ||
         message == WM_HUB_STOPPED || message == WM_HUB_CLIENT_CONNECTION;
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

void WriteToStandardOutput(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The user's application-data folder, as the window keeps it.
std::filesystem::path DefaultLogPath() {
  std::filesystem::path base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    base = data;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".local" / "share";
  } else {
    return {};
  }
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

std::string CHeadlessRunner::LineOf(const Notice& notice) {
  switch (notice.message) {
    case WM_HUB_ACTIVITY: {
      const char* name = StatusName(notice.wParam);
      return "activity row=" + std::to_string(notice.lParam) +
             " status=" + (name != nullptr ? std::string(name) : std::to_string(notice.wParam));
    }
    case WM_HUB_HEADERS_COMPLETE:
      return "headers-complete";
    case WM_HUB_STOPPED:
      return "stopped";
    case WM_HUB_CLIENT_CONNECTION:
      return std::string((notice.lParam & 0xff) == 0 ? "client connected" : "client disconnected") +
             " socket=" + std::to_string(notice.wParam);
    default:
      return {};
  }
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

bool CHeadlessRunner::NextNotice(Notice& notice) {
  std::unique_lock lock(mutex);
  wake.wait(lock, [this] { return !notices.empty() || stopRequested; });
  if (notices.empty()) return false;
  notice = std::move(notices.front());
  notices.pop_front();
  return true;
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
    Print(LineOf(n));
    stopped = stopped || n.message == WM_HUB_STOPPED;
  }
  return stopped;
}

bool CHeadlessRunner::StartRun(IHubControl& hub) {
  std::vector<Box> boxes;
  size_t failed = 0;
  std::string why;
  if (!ResolveBoxes(settings.boxes, settings.boxPort, boxes, failed, why)) {
    const std::string& host = settings.boxes[failed].host;
    DiagnosticLog().WriteRecordA("Box name " + host + " could not be resolved: " + why);
    Print("activity row=" + std::to_string(failed) + " status=ConnectFailed host=" + host);
    Print("stopped");
    return false;
  }
  hub.Start(boxes, settings.channelLimit);
  return true;
}

int CHeadlessRunner::Run() {
  std::unique_ptr<IHubControl> hub = makeHub(this, config);
  if (!hub->StartServers()) {
    ShowAlert(L"Could not start server. Detail: " + hub->StartError().text, AlertIcon::Error);
    hub.reset();
    return kExitNoDataServer;
  }
  Print("listening data=" + std::to_string(hub->DataPort()) +
        " utility=" + std::to_string(hub->UtilityPort()));
  if (!StartRun(*hub)) {
    hub.reset();
    PrintPending();
    return kExitRunEnded;
  }

  Notice notice;
  while (NextNotice(notice)) {
    Print(LineOf(notice));
    if (notice.message == WM_HUB_STOPPED) {
      // Nobody asked for the end: a box could not be reached when the run started.
      hub->Stop();
      hub.reset();
      PrintPending();
      return kExitRunEnded;
    }
  }

  hub->Stop();  // as the window's close: the run ends, and the hub says so with "stopped"
  bool stopped = PrintPending();
  hub.reset();
  stopped = PrintPending() || stopped;
  if (!stopped) Print("stopped");
  return kExitStopped;
}

int RunHeadless(const CommandLine& options, const CHeadlessRunner::HubFactory& makeHub) {
  // Signals first, so that an early SIGINT already ends the run in order. Asio wakes its own
  // thread from the signal handler; the handler itself does nothing else.
  asio::io_context signalContext;
  asio::signal_set signals(signalContext, SIGINT, SIGTERM);

  OpenLog(options);
  RunSettings settings{options.boxes, options.boxPort, options.channels};
  HubConfig config = HubConfigOf(options);

  CDemoBoxes demo;
  if (options.demo && settings.boxes.empty()) {
    std::string error;
    if (!demo.Start(kDemoBoxCount, error)) {
      std::fprintf(stderr, "tessamer: the simulated boxes could not start: %s\n", error.c_str());
      return kExitBadOptions;
    }
    for (const Box& box : demo.Boxes()) {
      settings.boxes.push_back(BoxOption{DottedText(box.address), static_cast<uint16_t>(box.port)});
    }
    config.boxUtilityPort = demo.UtilityPort();
  }

  CHeadlessRunner runner(std::move(settings), std::move(config), makeHub);
  signals.async_wait([&runner](const asio::error_code& error, int) {
    if (!error) runner.RequestStop();
  });
  std::thread signalThread([&signalContext] { signalContext.run(); });
  const int status = runner.Run();
  asio::error_code ignored;
  signals.cancel(ignored);
  signalContext.stop();
  signalThread.join();
  return status;
}

}  // namespace tessamer
