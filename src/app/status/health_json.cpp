#include "app/status/health_json.h"

#include <nlohmann/json.hpp>

#include "support/utc_text.h"

namespace tessamer {
namespace {

using json = nlohmann::ordered_json;  // fields in the order written here

}  // namespace

std::string IsoUtcTime(WallClock::time_point time) {
  if (time == WallClock::time_point{}) return {};
  return UtcIsoText(time);
}

namespace {

json Time(WallClock::time_point time) {
  const std::string text = IsoUtcTime(time);
  return text.empty() ? json(nullptr) : json(text);
}

json BoxJson(const BoxHealth& box) {
  return {{"row", box.row},
          {"agent", box.agent},
          {"address", box.address},
          {"port", box.port},
          {"state", BoxStateName(box.state)},
          {"stateSince", Time(box.stateSince)},
          {"connections", box.connections},
          {"reconnections", box.reconnections},
          {"records", box.records},
          {"recordsPerSecond", box.recordsPerSecond},
          {"newestRecordAgeMs", box.newestRecordAge ? json(box.newestRecordAge->count()) : json(nullptr)},
          {"rejectedLines", box.rejectedLines},
          {"replacedRecords", box.replacedRecords},
          {"serialNumber", box.serialNumber},
          {"firmware", box.firmware},
          {"jobType", box.jobType},
          {"lastError", box.lastError}};
}

json ViewerJson(const ViewerHealth& viewer) {
  return {{"socket", viewer.socket},
          {"peerAddress", viewer.peerAddress},
          {"peerPort", viewer.peerPort},
          {"connectedSince", Time(viewer.connectedSince)},
          {"linesSent", viewer.linesSent},
          {"bytesSent", viewer.bytesSent},
          {"bytesQueued", viewer.bytesQueued},
          {"connected", viewer.connected},
          {"closedForFallingBehind", viewer.closedForFallingBehind}};
}

json RunJson(const RunHealth& run) {
  return {{"active", run.active},
          {"startedAt", Time(run.startedAt)},
          {"recordsPublished", run.recordsPublished},
          {"repeatsSent", run.repeatsSent},
          {"outcome", run.outcome},
          {"partial", run.partial},
          {"waitingRows", run.waitingRows}};
}

json RecordingJson(const RecordingHealth& recording) {
  return {{"file", recording.file},
          {"state", recording.state},
          {"size_bytes", recording.sizeBytes},
          {"records", recording.records},
          {"oldest", recording.oldest.empty() ? json(nullptr) : json(recording.oldest)},
          {"newest", recording.newest.empty() ? json(nullptr) : json(recording.newest)},
          {"waiting", recording.waiting},
          {"dropped", recording.dropped},
          {"last_error", recording.lastError}};
}

json UplinkJson(const UplinkHealth& uplink) {
  return {{"broker", uplink.broker},
          {"state", uplink.state},
          {"cursor", uplink.cursor},
          {"backlog", uplink.backlog},
          {"in_flight", uplink.inFlight},
          {"sent", uplink.sent},
          {"reconnections", uplink.reconnections},
          {"last_error", uplink.lastError}};
}

const BoxHealth* BoxOf(const HubHealth& health, int32_t agent) {
  for (const BoxHealth& box : health.boxes) {
    if (box.agent == agent) return &box;
  }
  return nullptr;
}

// A channel without a reading has the value null (viewers get 0 there), and beside it the state
// of its box, which says why.
json ChannelJson(const HubHealth& health, const CombinedChannel& channel) {
  const BoxHealth* box = BoxOf(health, channel.box);
  return {{"name", channel.name},
          {"unit", channel.unit},
          {"value", channel.missing ? json(nullptr) : json(channel.value)},  // not finite: null too
          {"box", channel.box},
          {"boxState", box ? json(BoxStateName(box->state)) : json(nullptr)}};
}

}  // namespace

std::string HealthJson(const HubHealth& health) {
  json boxes = json::array();
  for (const BoxHealth& box : health.boxes) boxes.push_back(BoxJson(box));
  json viewers = json::array();
  for (const ViewerHealth& viewer : health.viewers) viewers.push_back(ViewerJson(viewer));
  json channels = json::array();
  for (const CombinedChannel& channel : health.channels) channels.push_back(ChannelJson(health, channel));
  json whole = {{"takenAt", Time(health.takenAt)},
                {"run", RunJson(health.run)},
                {"boxes", std::move(boxes)},
                {"viewers", std::move(viewers)},
                {"channels", std::move(channels)}};
  if (health.recording) whole["recording"] = RecordingJson(*health.recording);
  if (health.uplink) whole["uplink"] = UplinkJson(*health.uplink);
  return whole.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tessamer
