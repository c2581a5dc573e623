#include "app/cli/headless_lines.h"

#include <variant>

#include "support/line_fields.h"
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

// `text` as one quoted reason field; a double quote in it becomes a single one, a line end a blank.
std::string QuotedReason(std::string text) { return " reason=" + QuotedField(std::move(text)); }

// The box's last error as its reason field.
std::string ReasonField(const BoxHealth* box) {
  if (box == nullptr || box->lastError.empty()) return {};
  return QuotedReason(box->lastError);
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

std::string RunPartialLine(const RunPartialNotice& partial) {
  std::string rows;
  for (const int32_t row : partial.waitingRows) {
    rows += (rows.empty() ? "" : ",") + std::to_string(row);
  }
  return "run partial waiting=" + rows;
}

std::string ClientLine(const ClientConnectionNotice& client) {
  std::string line = std::string(client.connected ? "client connected" : "client disconnected") +
                     " socket=" + std::to_string(client.socket);
  if (client.connected && !client.peer.empty()) line += " peer=" + Narrow(client.peer);
  return line;
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
         std::holds_alternative<BoxSilenceNotice>(notice) ||
         std::holds_alternative<RunPartialNotice>(notice);
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
                 [](const RunPartialNotice& n) { return RunPartialLine(n); },
                 [](const auto&) { return std::string(); }},
      notice);
}

std::string ListeningLine(uint16_t data, uint16_t utility, uint16_t status) {
  return "listening data=" + std::to_string(data) + " utility=" + std::to_string(utility) +
         (status != 0 ? " status=" + std::to_string(status) : std::string());
}

std::string UnresolvedBoxLine(size_t row, const std::string& host, const std::string& why) {
  return "activity row=" + std::to_string(row) + " status=ConnectFailed host=" + host +
         QuotedReason(why);
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

std::string CActivityThrottle::Line(const ActivityNotice& activity, const HubHealth& health,
                                    Clock::time_point now) {
  const auto known = rows.find(activity.row);
  if (known == rows.end() || known->second.status != activity.status) {
    rows[activity.row] = Row{activity.status, 0, now};
    return NoticeLine(activity, health);
  }
  Row& row = known->second;
  if (activity.status != ConnectionLost) return {};  // nothing has changed
  ++row.attempts;
  if (now - row.printedAt < interval) return {};
  row.printedAt = now;
  return NoticeLine(activity, health) + " attempts=" + std::to_string(row.attempts);
}

}  // namespace tessamer
