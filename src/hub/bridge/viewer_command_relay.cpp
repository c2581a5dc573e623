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
                                         std::chrono::milliseconds openTimeout)
    : defaultBoxAddress(std::move(defaultBoxAddress)),
      boxUtilityPort(boxUtilityPort),
      openTimeout(openTimeout),
      thread([this] { Run(); }) {}

CViewerCommandRelay::~CViewerCommandRelay() {
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
    pending.clear();
    if (current != nullptr) current->Abort();
  }
  wake.notify_all();
  thread.join();
}

std::string CViewerCommandRelay::CommandOf(const std::string& line) {
  if (line.size() <= 3) return {};
  std::string command = line.substr(3);
  command.resize(std::min(command.find('\0'), command.size()));  // a zero-terminated text
  if (command.size() > kRelayCommandLimit) command.resize(kRelayCommandLimit);
  return command;
}

void CViewerCommandRelay::Relay(std::string command, std::function<void(std::string)> reply) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return;
    if (pending.size() < kRelayPendingLimit) {
      pending.push_back({std::move(command), std::move(reply)});
      wake.notify_one();
      return;
    }
  }
  reply(ReplyLine(kErrorPrefix, std::string(kBusyText)));
}

void CViewerCommandRelay::Run() {
  for (;;) {
    Pending next;
    {
      std::unique_lock<std::mutex> guard(lock);
      wake.wait(guard, [this] { return stopping || !pending.empty(); });
      if (stopping) return;
      next = std::move(pending.front());
      pending.pop_front();
    }
    Exchange(next);
  }
}

void CViewerCommandRelay::Exchange(const Pending& command) {
  CVellumetricUtility utility(true, true, std::wstring(), defaultBoxAddress, boxUtilityPort);
  utility.SetOpenTimeout(openTimeout.count());
  {
    std::lock_guard<std::mutex> guard(lock);
    if (stopping) return;
    current = &utility;
  }
  const std::vector<std::string> commands{CommandOf(command.line)};
  const bool done = utility.SendTextCommands(commands);
  bool stopped = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    current = nullptr;
    stopped = stopping;
  }
  if (stopped) return;
  // The viewer is answered before the connection's closing pause.
  command.reply(done ? ReplyLine(kOkPrefix, OneLine(utility.Link().capture))
                     : ReplyLine(kErrorPrefix, Reason(utility.GetErrorInfo().text)));
}

}  // namespace tessamer
