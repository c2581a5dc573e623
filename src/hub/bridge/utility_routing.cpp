// Setpoint requests for combined channels: find the box that owns the channel through the run's
// channel layout and run the command on that box over a cached utility connection.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "hub/bridge/hub_bridge.h"
#include "support/number_text.h"
#include "support/text.h"
#include "utility/line_link.h"
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
// there is no blank.
bool ValueAfterBlank(std::string_view request, double& value) {
  const size_t blank = request.find(' ', kChannelOffset);
  if (blank == std::string_view::npos) return false;
  value = 0.0;
  ParseDouble(request.substr(blank + 1), value);
  return true;
}

}  // namespace

bool CHubBridge::OnUtilityRequest(const char* request, int32_t length, std::string* reply) {
  if (request == nullptr) {
    utilities.clear();  // each connection goes when its last share goes
    return false;
  }
  if (length < kMinRequestLength) return false;
  const std::string_view text(request, strnlen(request, static_cast<size_t>(length)));
  if (text.size() < static_cast<size_t>(kMinRequestLength)) return false;

  const int64_t channel = LeadingInteger(text.substr(kChannelOffset));
  // A negative channel belongs to no box: nothing is sent for it.
  if (channel < 0) return true;

  size_t box = 0;
  int64_t boxChannel = 0;
  {
    std::lock_guard lock(layoutLock);
    const size_t count = std::min(boxes.size(), channelEnds.size());
    while (box < count && channel >= channelEnds[box]) ++box;
    if (box == count) return true;  // no box owns it (also outside a run)
    boxChannel = channel - (box == 0 ? 0 : channelEnds[box - 1]);
  }
  if (text[0] != 'G') return false;

  const auto variable = static_cast<int32_t>(boxChannel);
  switch (text[1]) {
    case 'A':
      return RunUtilityCommand(box, reply, [variable](CVellumetricUtility& u) {
        return u.CommandA(variable);
      });
    case 'U':
      return RunUtilityCommand(box, reply, [variable](CVellumetricUtility& u) {
        return u.CommandU(variable);
      });
    case 'Z':
      return RunUtilityCommand(box, reply, [variable](CVellumetricUtility& u) {
        return u.CommandZ(variable);
      });
    case 'S': {
      double value = 0.0;
      if (!ValueAfterBlank(text, value)) return false;
      return RunUtilityCommand(box, reply, [variable, value](CVellumetricUtility& u) {
        return u.CommandS(variable, value);
      });
    }
    default:
      return false;
  }
}

std::array<int32_t, MaxBoxes> CHubBridge::ChannelEnds() const {
  std::lock_guard lock(layoutLock);
  return channelEnds;
}

bool CHubBridge::RunUtilityCommand(size_t box, std::string* reply,
                                   const UtilityCommand& command) {
  std::string key;
  {
    std::lock_guard lock(layoutLock);
    if (box >= boxes.size()) return false;
    key = DottedText(boxes[box].address);
  }
  std::shared_ptr<CVellumetricUtility> connection;
  if (auto cached = utilities.find(key); cached != utilities.end()) {
    connection = cached->second;
  } else {
    connection = std::make_shared<CVellumetricUtility>(false, true, std::wstring(),
                                                       config.defaultBoxAddress,
                                                       config.boxUtilityPort);
    connection->SetOpenTimeout(config.hub.utilityOpen.count());
    connection->SetTarget(Widen(key));
    if (connection->Connect()) utilities[key] = connection;
  }
  const bool result = command(*connection);
  std::string& capture = connection->Link().capture;
  if (reply != nullptr) *reply = capture;
  capture.clear();
  return result;
}

}  // namespace tessamer
