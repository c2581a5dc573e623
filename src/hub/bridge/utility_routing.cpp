// Setpoint requests for combined channels: find the box that owns the channel through the current
// run's channel layout and run the command on that box over its cached utility connection.

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "hub/bridge/hub_bridge.h"
#include "support/number_text.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

namespace {

constexpr int32_t kMinRequestLength = 4;  // "G", a letter, a blank and at least one digit
constexpr size_t kChannelOffset = 3;      // the channel number starts at the fourth character

// The integer at the front of `text` as the C library's atoi reads it: 0 when there is none.
int64_t LeadingInteger(std::string_view text) {
  int64_t value = 0;
  return ParseInt(text, value) > 0 ? value : 0;
}

// The number after the first blank from the fourth character on, as atof reads it; false when
// there is no blank or the number is not finite (an infinity, a NaN, or beyond a double's range),
// since a box cannot take such a setpoint.
bool ValueAfterBlank(std::string_view request, double& value) {
  const size_t blank = request.find(' ', kChannelOffset);
  if (blank == std::string_view::npos) return false;
  value = 0.0;
  ParseDouble(request.substr(blank + 1), value);
  return std::isfinite(value);
}

// The command a "G" request selects by its second character, for `variable` on the owning box;
// none for a letter of no command or a set without a finite value.
std::optional<CUtilityConnections::Command> CommandOf(std::string_view request, int32_t variable) {
  switch (request[1]) {
    case 'A':
      return [variable](CVellumetricUtility& u) { return u.CommandA(variable); };
    case 'U':
      return [variable](CVellumetricUtility& u) { return u.CommandU(variable); };
    case 'Z':
      return [variable](CVellumetricUtility& u) { return u.CommandZ(variable); };
    case 'S': {
      double value = 0.0;
      if (!ValueAfterBlank(request, value)) return std::nullopt;
      return [variable, value](CVellumetricUtility& u) { return u.CommandS(variable, value); };
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

bool CHubBridge::OnUtilityRequest(const char* request, int32_t length, std::string* reply) {
  if (request == nullptr) {
    utilities.CloseAll();
    return false;
  }
  if (length < kMinRequestLength) return false;
  const std::string_view text(request, strnlen(request, static_cast<size_t>(length)));
  if (text.size() < static_cast<size_t>(kMinRequestLength)) return false;

  const int64_t channel = LeadingInteger(text.substr(kChannelOffset));
  const std::optional<ChannelOwner> owner = OwnerOf(channel);
  if (!owner) return true;  // no box owns it (also outside a run)
  if (text[0] != 'G') return false;

  const std::optional<CUtilityConnections::Command> command = CommandOf(text, owner->channel);
  if (!command) return false;
  return utilities.Run(owner->address, reply, *command);
}

}  // namespace tessamer
