#include "app/cli/headless_lines.h"

#include <variant>

#include "support/text.h"

namespace tessamer {
namespace {

const char* StatusName(ActivityStatus status) {
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

const BoxHealth* BoxOfRow(const HubHealth& health, int32_t row) {
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

std::string ActivityLine(const ActivityNotice& activity, const HubHealth& health) {
  const char* name = StatusName(activity.status);
  const BoxHealth* box = BoxOfRow(health, activity.row);
  const bool failure = activity.status == ConnectionLost || activity.status == ConnectFailed;
  return "activity row=" + std::to_string(activity.row) +
         " status=" + (name != nullptr ? std::string(name) : std::to_string(activity.status)) +
         BoxField(box) + (failure ? ReasonField(box) : std::string());
}

std::string SilenceLine(const BoxSilenceNotice& silence, const HubHealth& health) {
  const std::string row = std::to_string(silence.row);
  if (!silence.Silent()) return "speaking row=" + row;
  return "silent row=" + row + BoxField(BoxOfRow(health, silence.row)) +
         " seconds=" + std::to_string(silence.seconds);
}

std::string ClientLine(const ClientConnectionNotice& client) {
  std::string line = std::string(client.connected ? "client connected" : "client disconnected") +
                     " socket=" + std::to_string(client.socket);
  if (client.connected && !client.peer.empty()) line += " peer=" + Narrow(client.peer);
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

}  // namespace

bool IsPrinted(const Notice& notice) {
  return std::holds_alternative<ActivityNotice>(notice) ||
         std::holds_alternative<HeadersCompleteNotice>(notice) ||
         std::holds_alternative<StoppedNotice>(notice) ||
         std::holds_alternative<ClientConnectionNotice>(notice) ||
         std::holds_alternative<BoxSilenceNotice>(notice);
}

bool NamesABox(const Notice& notice) {
  return std::holds_alternative<ActivityNotice>(notice) ||
         std::holds_alternative<BoxSilenceNotice>(notice);
}

std::string NoticeLine(const Notice& notice, const HubHealth& health) {
  return std::visit(
      Overloaded{[&](const ActivityNotice& n) { return ActivityLine(n, health); },
                 [](const HeadersCompleteNotice&) { return std::string("headers-complete"); },
                 [](const StoppedNotice&) { return std::string(kStoppedLine); },
                 [](const ClientConnectionNotice& n) { return ClientLine(n); },
                 [&](const BoxSilenceNotice& n) { return SilenceLine(n, health); },
                 [](const auto&) { return std::string(); }},
      notice);
}

std::string ListeningLine(uint16_t data, uint16_t utility, uint16_t status) {
  return "listening data=" + std::to_string(data) + " utility=" + std::to_string(utility) +
         (status != 0 ? " status=" + std::to_string(status) : std::string());
}

std::string UnresolvedBoxLine(size_t row, const std::string& host) {
  return "activity row=" + std::to_string(row) + " status=ConnectFailed host=" + host;
}

std::string RetryLine(std::chrono::milliseconds wait, const char* reason) {
  return "run retry in=" + SecondsText(wait) + " reason=" + reason;
}

std::string ReloadFailedLine(const std::string& reason) { return "reload failed reason=" + reason; }

std::string ReloadKeptLine(const std::vector<std::string>& kept) {
  return "reload kept=" + Joined(kept) + " reason=restart-needed";
}

std::string ReloadUnchangedLine() { return "reload unchanged"; }

std::string ReloadRestartLine(size_t boxes, int channels) {
  return "reload restart boxes=" + std::to_string(boxes) + " channels=" + std::to_string(channels);
}

}  // namespace tessamer
