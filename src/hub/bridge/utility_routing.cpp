// Setpoint requests for combined channels: find the box that owns the channel through the current
// run's channel layout when the request arrives, and run the command on that box over its cached
// utility connection.

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "hub/bridge/hub_bridge.h"
#include "support/number_text.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

namespace {

constexpr int32_t kMinRequestLength = 4;  // "G", a letter, a blank and at least one digit
constexpr size_t kChannelOffset = 3;      // the channel number starts at the fourth character
constexpr std::string_view kBlanks = " \t\r\n\v\f";  // what the number reading skips before it

// A setpoint is written in at most 24 characters: that is enough for any double in full (a sign,
// 17 significant digits, a point and an exponent such as "e-308"), so a longer text carries
// digits the value cannot hold, or padding.
constexpr size_t kSetpointTextLimit = 24;
// A setpoint's magnitude stays below 10^15: a double holds every one of those 15 integer digits
// exactly (it holds every integer below 2^53), and the box's four-decimal text of it stays at
// most 21 characters. Beyond it the command would carry invented digits, up to some 300 of them.
constexpr double kSetpointLimit = 1e15;

// The integer at the front of `text` as the C library's atoi reads it: 0 when there is none.
int64_t LeadingInteger(std::string_view text) {
  int64_t value = 0;
  return ParseInt(text, value) > 0 ? value : 0;
}

// The setpoint after the first blank from the fourth character on. The rest of the line must be
// one decimal number as atof reads it, blanks around it allowed: nothing else after it (no zero
// byte either), at most kSetpointTextLimit characters, finite and below kSetpointLimit. False
// otherwise, since a box must not get a setpoint the utility did not write.
bool SetpointAfterBlank(std::string_view line, double& value) {
  const size_t blank = line.find(' ', kChannelOffset);
  if (blank == std::string_view::npos) return false;
  const std::string_view rest = line.substr(blank + 1);
  double parsed = 0.0;
  const size_t end = ParseDouble(rest, parsed);
  if (end == 0) return false;
  const size_t start = rest.find_first_not_of(kBlanks);
  const bool whole = rest.find_first_not_of(kBlanks, end) == std::string_view::npos;
  if (!whole || end - start > kSetpointTextLimit) return false;
  if (!std::isfinite(parsed) || std::fabs(parsed) >= kSetpointLimit) return false;
  value = parsed;
  return true;
}

// The command a "G" request selects by its second character, for `variable` on the owning box;
// none for a letter of no command or a set without a setpoint.
std::optional<CUtilityConnections::Command> CommandOf(std::string_view line, int32_t variable) {
  switch (line[1]) {
    case 'A':
      return [variable](CVellumetricUtility& u) { return u.CommandA(variable); };
    case 'U':
      return [variable](CVellumetricUtility& u) { return u.CommandU(variable); };
    case 'Z':
      return [variable](CVellumetricUtility& u) { return u.CommandZ(variable); };
    case 'S': {
      double value = 0.0;
      if (!SetpointAfterBlank(line, value)) return std::nullopt;
      return [variable, value](CVellumetricUtility& u) { return u.CommandS(variable, value); };
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

bool CHubBridge::OnUtilityRequest(const char* request, int32_t length, std::string* reply) {
  if (request == nullptr) {
    UtilitiesGone();
    return false;
  }
  if (length < kMinRequestLength) return false;
  RoutedRequest routed = RouteUtilityRequest(std::string_view(request, length));
  if (const bool* result = std::get_if<bool>(&routed)) return *result;
  const BoxCommand& command = std::get<BoxCommand>(routed);
  return utilities.Run(command.box, reply, command.command);
}

// The box's lane is its connection's key: one box's commands run one at a time, in arrival order.
UtilityRequestWork CHubBridge::RouteRequest(std::string_view request) {
  RoutedRequest routed = RouteUtilityRequest(request);
  if (std::holds_alternative<bool>(routed)) return {};  // no box: nothing to send back
  BoxCommand command = std::get<BoxCommand>(std::move(routed));
  const std::string lane = CUtilityConnections::KeyOf(command.box);
  return {lane, [this, command = std::move(command)](std::string& reply) {
            utilities.Run(command.box, &reply, command.command);
          }};
}

// The line's structure is read up to a zero byte, as a C string would be; a setpoint must fill
// the whole line.
CHubBridge::RoutedRequest CHubBridge::RouteUtilityRequest(std::string_view line) const {
  const std::string_view text = line.substr(0, line.find('\0'));
  if (text.size() < static_cast<size_t>(kMinRequestLength)) return false;

  const int64_t channel = LeadingInteger(text.substr(kChannelOffset));
  const std::optional<ChannelOwner> owner = OwnerOf(channel);
  if (!owner) return true;  // no box owns it (also outside a run)
  if (text[0] != 'G') return false;

  std::optional<CUtilityConnections::Command> command = CommandOf(line, owner->channel);
  if (!command) return false;
  return BoxCommand{owner->address, std::move(*command)};
}

}  // namespace tessamer
