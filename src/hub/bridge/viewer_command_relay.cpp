#include "hub/bridge/viewer_command_relay.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "support/text.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

namespace {

constexpr std::string_view kOkPrefix = "## DCC OK_OT ";
constexpr std::string_view kErrorPrefix = "## DCC ERROR ";
constexpr std::string_view kBusyText = "Too many box commands are waiting";

// The box's answer as one line: carriage returns removed, line feeds shown as ".".
std::string OneLine(const std::string& answer) {
  std::string line;
  line.reserve(answer.size());
  for (const char c : answer) {
    if (c == '\r') continue;
    line += c == '\n' ? '.' : c;
  }
  return line;
}

// A failure text without the line end the system's message texts carry.
std::string Reason(const std::wstring& text) {
  std::string reason = Narrow(text);
  while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' ||
                             reason.back() == ' ' || reason.back() == '\t')) {
    reason.pop_back();
  }
  return reason;
}

std::string ReplyLine(std::string_view prefix, const std::string& text) {
  std::string line(prefix);
  line += text;
  line += "\r\n";
  return line;
}

}  // namespace

CViewerCommandRelay::CViewerCommandRelay(std::string defaultBoxAddress, uint16_t boxUtilityPort,
                                         std::chrono::milliseconds openTimeout, int threadCount)
    : defaultBoxAddress(std::move(defaultBoxAddress)),
      boxUtilityPort(boxUtilityPort),
      openTimeout(openTimeout),
      exchanges(static_cast<size_t>(std::max(1, threadCount)), nullptr) {
  for (size_t slot = 0; slot < exchanges.size(); ++slot) {
    threads.emplace_back([this, slot] { Run(slot); });
  }
}

CViewerCommandRelay::~CViewerCommandRelay() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    viewers.clear();
    turns.clear();
    for (CVellumetricUtility* exchange : exchanges) {
      if (exchange != nullptr) exchange->Abort();
    }
  }
  wake.notify_all();
  for (auto& thread : threads) thread.join();
}

std::string CViewerCommandRelay::CommandOf(const std::string& line) {
  if (line.size() <= 3) return {};
  std::string command = line.substr(3);
  command.resize(std::min(command.find('\0'), command.size()));  // a zero-terminated text
  if (command.size() > kRelayCommandLimit) command.resize(kRelayCommandLimit);
  return command;
}

void CViewerCommandRelay::Relay(ViewerId viewer, std::string command,
                                std::function<void(std::string)> reply) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return;
    Viewer& queue = viewers[viewer];
    if (queue.waiting.size() < kRelayWaitingLimit) {
      queue.waiting.push_back({std::move(command), std::move(reply)});
      if (!queue.relaying && queue.waiting.size() == 1) {
        turns.push_back(viewer);
        wake.notify_one();
      }
      return;
    }
  }
  reply(ReplyLine(kErrorPrefix, std::string(kBusyText)));
}

void CViewerCommandRelay::ViewerLeft(ViewerId viewer) {
  std::deque<Pending> dropped;  // destroyed after the lock is released
  std::lock_guard<std::mutex> guard(lock);
  const auto found = viewers.find(viewer);
  if (found == viewers.end()) return;
  dropped.swap(found->second.waiting);
  if (found->second.relaying) return;  // Done forgets it
  viewers.erase(found);
  turns.erase(std::remove(turns.begin(), turns.end(), viewer), turns.end());
}

void CViewerCommandRelay::Run(size_t slot) {
  ViewerId viewer = 0;
  Pending command;
  while (Take(viewer, command)) {
    Exchange(slot, command);
    command = {};
    Done(viewer);
  }
}

bool CViewerCommandRelay::Take(ViewerId& viewer, Pending& command) {
  std::unique_lock<std::mutex> guard(lock);
  wake.wait(guard, [this] { return stopping || !turns.empty(); });
  if (stopping) return false;
  viewer = turns.front();
  turns.pop_front();
  Viewer& queue = viewers.at(viewer);
  command = std::move(queue.waiting.front());
  queue.waiting.pop_front();
  queue.relaying = true;
  return true;
}

void CViewerCommandRelay::Done(ViewerId viewer) {
  std::lock_guard<std::mutex> guard(lock);
  const auto found = viewers.find(viewer);
  if (found == viewers.end()) return;  // cleared by the destructor
  found->second.relaying = false;
  if (found->second.waiting.empty()) {
    viewers.erase(found);
    return;
  }
  turns.push_back(viewer);
  wake.notify_one();
}

void CViewerCommandRelay::Exchange(size_t slot, const Pending& command) {
  CVellumetricUtility utility(true, true, std::wstring(), defaultBoxAddress, boxUtilityPort);
  utility.SetOpenTimeout(openTimeout.count());
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return;
    exchanges[slot] = &utility;
  }
  const std::vector<std::string> commands{CommandOf(command.line)};
  const bool done = utility.SendTextCommands(commands);
  bool stopped = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    exchanges[slot] = nullptr;
    stopped = stopping;
  }
  if (stopped) return;
  // The viewer is answered before the connection's closing pause.
  command.reply(done ? ReplyLine(kOkPrefix, OneLine(utility.Link().capture))
                     : ReplyLine(kErrorPrefix, Reason(utility.GetErrorInfo().text)));
}

}  // namespace tessamer
