#include "app/cli/headless_runner.h"

#include <algorithm>
#include <cstdio>

#include "app/cli/headless_lines.h"
#include "hub/core/alerts.h"
#include "support/simple_log_file.h"

namespace tessamer {

void WriteLineToStandardOutput(const std::string& line) {
  const std::string whole = line + '\n';
  std::fwrite(whole.data(), 1, whole.size(), stdout);
  std::fflush(stdout);
}

std::chrono::milliseconds CRetryWaits::Take() {
  const std::chrono::milliseconds wait = next;
  next = std::min(wait * 2, first * kRetryWaitGrowthLimit);
  return wait;
}

CHeadlessRunner::CHeadlessRunner(RunSettings settings, HubConfig config, HubFactory makeHub,
                                 LineWriter writer)
    : settings(std::move(settings)),
      config(std::move(config)),
      makeHub(std::move(makeHub)),
      writer(writer ? std::move(writer) : LineWriter(WriteLineToStandardOutput)) {}

void CHeadlessRunner::Post(Notice notice) {
  if (!IsPrinted(notice)) return;  // data-flow notices come often and print nothing
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

void CHeadlessRunner::KeepTrying(std::chrono::milliseconds firstWait) {
  retryWaits = CRetryWaits(firstWait);
}

void CHeadlessRunner::SetRereader(Rereader rereader) { reread = std::move(rereader); }

void CHeadlessRunner::SetNotifier(CServiceNotifier* serviceNotifier) { notifier = serviceNotifier; }

int CHeadlessRunner::Run() {
  std::unique_ptr<IHubControl> hub = makeHub(this, config);
  if (!hub->StartServers()) {
    ShowAlert(L"Could not start server. Detail: " + hub->StartError().text, AlertIcon::Error);
    return kExitNoDataServer;
  }
  liveHub = hub.get();
  Print(ListeningLine(hub->DataPort(), hub->UtilityPort(), hub->StatusPort()));
  NotifyReady(*hub);
  StartRun(*hub);
  while (!std::holds_alternative<Ended>(phase)) {
    Notice notice;
    switch (NextEvent(notice)) {
      case Event::Notice:
        OnNotice(*hub, notice);
        break;
      case Event::PhaseDeadline:
        StartRun(*hub);
        break;
      case Event::Reload:
        Reload(*hub);
        break;
      case Event::Heartbeat:
        Heartbeat(*hub);
        break;
      case Event::Stop:
        return TearDown(std::move(hub), kExitStopped);
    }
  }
  return TearDown(std::move(hub), kExitRunEnded);
}

std::optional<std::chrono::steady_clock::time_point> CHeadlessRunner::PhaseDeadline() const {
  if (const auto* waiting = std::get_if<RetryWait>(&phase)) return waiting->at;
  return std::nullopt;
}

// A heartbeat that is due goes first, so that a stream of notices cannot hold it up.
CHeadlessRunner::Event CHeadlessRunner::NextEvent(Notice& notice) {
  if (heartbeatAt && std::chrono::steady_clock::now() >= *heartbeatAt) return Event::Heartbeat;
  const std::optional<std::chrono::steady_clock::time_point> phaseAt = PhaseDeadline();
  std::optional<std::chrono::steady_clock::time_point> deadline = phaseAt;
  if (heartbeatAt && (!deadline || *heartbeatAt < *deadline)) deadline = heartbeatAt;
  std::unique_lock lock(mutex);
  const auto ready = [this] { return !notices.empty() || stopRequested || reloadRequested; };
  if (!deadline) {
    wake.wait(lock, ready);
  } else if (!wake.wait_until(lock, *deadline, ready)) {
    return deadline == heartbeatAt ? Event::Heartbeat : Event::PhaseDeadline;
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

void CHeadlessRunner::OnNotice(IHubControl& hub, const Notice& notice) {
  Print(Describe(notice));
  Follow(notice);
  const auto* active = std::get_if<Running>(&phase);
  if (active == nullptr || !std::holds_alternative<StoppedNotice>(notice)) return;
  // Nobody asked for the end: a box could not be reached when the run started, or the run
  // ended for a reason of its own.
  const char* reason = active->boxFailed ? "unreachable" : "ended";
  EndRun(hub);
  RetryLater(reason);
}

void CHeadlessRunner::Follow(const Notice& notice) {
  if (notifier != nullptr) notifier->Follow(notice);
  auto* active = std::get_if<Running>(&phase);
  const auto* activity = std::get_if<ActivityNotice>(&notice);
  if (active == nullptr || activity == nullptr) return;
  if (activity->status == ConnectFailed) active->boxFailed = true;
  if (activity->status != Connected) return;
  active->connectedRows.insert(activity->row);
  if (active->connectedRows.size() == active->boxes) retryWaits.Reset();  // it got every box
}

std::string CHeadlessRunner::Describe(const Notice& notice) const {
  if (liveHub == nullptr || !NamesABox(notice)) return NoticeLine(notice);
  return NoticeLine(notice, liveHub->Health());
}

void CHeadlessRunner::Print(const std::string& line) {
  if (!line.empty()) writer(line);
}

bool CHeadlessRunner::PrintPending() {
  std::deque<Notice> pending;
  {
    std::lock_guard guard(mutex);
    pending.swap(notices);
  }
  bool stopped = false;
  for (const Notice& notice : pending) {
    Print(Describe(notice));
    Follow(notice);
    stopped = stopped || std::holds_alternative<StoppedNotice>(notice);
  }
  return stopped;
}

void CHeadlessRunner::StartRun(IHubControl& hub) {
  if (notifier != nullptr) notifier->RunStarted(settings.boxes.size());
  std::vector<Box> boxes;
  size_t failed = 0;
  std::string why;
  if (!ResolveBoxes(settings.boxes, settings.boxPort, boxes, failed, why)) {
    const std::string& host = settings.boxes[failed].host;
    DiagnosticLog().WriteRecordA("Box name " + host + " could not be resolved: " + why);
    Print(UnresolvedBoxLine(failed, host));
    Print(kStoppedLine);
    RetryLater("unresolved");
    return;
  }
  phase = Running{boxes.size(), {}, false};
  hub.Start(boxes, settings.channelLimit);
}

void CHeadlessRunner::EndRun(IHubControl& hub) {
  if (!std::holds_alternative<Running>(phase)) return;
  phase = Ended{};  // until the caller says what follows
  hub.Stop();          // waits for the run's end: its last notices are queued by now
  PrintPending();
}

void CHeadlessRunner::RetryLater(const char* reason) {
  if (!retryWaits.KeepTrying()) {
    phase = Ended{};
    return;
  }
  const std::chrono::milliseconds wait = retryWaits.Take();
  phase = RetryWait{std::chrono::steady_clock::now() + wait};
  Print(RetryLine(wait, reason));
}

void CHeadlessRunner::Reload(IHubControl& hub) {
  if (!reread) return;
  const Reread result = reread();
  if (!result.ok) {
    Print(ReloadFailedLine(result.error));
    return;
  }
  if (!result.kept.empty()) Print(ReloadKeptLine(result.kept));
  if (result.run == settings) {
    Print(ReloadUnchangedLine());
    return;
  }
  settings = result.run;
  Print(ReloadRestartLine(settings.boxes.size(), settings.channelLimit));
  EndRun(hub);
  retryWaits.Reset();
  StartRun(hub);
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

int CHeadlessRunner::TearDown(std::unique_ptr<IHubControl> hub, int status) {
  NotifyStopping();
  const bool stopRun = status == kExitStopped;
  bool stopped = false;
  if (stopRun) {
    hub->Stop();  // as the window's close: the run ends, and the hub says so with "stopped"
    stopped = PrintPending();
  }
  liveHub = nullptr;
  hub.reset();  // its last notices (viewers leaving) are queued by now
  stopped = PrintPending() || stopped;
  if (stopRun && !stopped) Print(kStoppedLine);
  return status;
}

}  // namespace tessamer
