#include "app/status/health_metrics.h"

#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

namespace tessamer {
namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

constexpr BoxState kBoxStates[] = {BoxState::Idle,   BoxState::Connecting, BoxState::Connected, BoxState::Silent,
                                   BoxState::Lost,   BoxState::Failed,     BoxState::Stopped};

// Numbers as the format writes them, whatever the locale: the shortest text that reads back.
std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string Number(uint64_t value) { return std::to_string(value); }

// Seconds since the Unix epoch to the millisecond, as exact as the clock's milliseconds.
std::string Timestamp(WallClock::time_point time) {
  const int64_t ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const int64_t fraction = (ms % 1000 + 1000) % 1000;
  return std::to_string((ms - fraction) / 1000) + "." + std::to_string(1000 + fraction).substr(1);
}

// Builds the exposition one family at a time; a family's HELP and TYPE lines are written with its
// first sample.
class CExposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    family = name;
    familyType = type;
    familyHelp = help;
    headerWritten = false;
  }
  void Sample(const Labels& labels, const std::string& value) {
    if (!headerWritten) {
      text += std::string("# HELP ") + family + " " + familyHelp + "\n# TYPE " + family + " " + familyType + "\n";
      headerWritten = true;
    }
    text += family;
    for (size_t i = 0; i < labels.size(); ++i) {
      text += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=\"" + EscapedLabelValue(labels[i].second) + "\"";
    }
    text += (labels.empty() ? " " : "} ") + value + "\n";
  }
  std::string Text() && { return std::move(text); }

 private:
  std::string text;
  const char* family = "";
  const char* familyType = "";
  const char* familyHelp = "";
  bool headerWritten = false;
};

std::string BoxLabel(const BoxHealth& box) { return box.address + ":" + std::to_string(box.port); }

// The label of the box a combined channel comes from; empty when the snapshot has no such box.
std::string ChannelBox(const HubHealth& health, int32_t agent) {
  for (const BoxHealth& box : health.boxes) {
    if (box.agent == agent) return BoxLabel(box);
  }
  return {};
}

// One family of a per-box figure.
template <typename Figure>
void BoxFamily(CExposition& out, const HubHealth& health, const char* name, const char* type, const char* help,
               Figure figure) {
  out.Family(name, type, help);
  for (const BoxHealth& box : health.boxes) out.Sample({{"box", BoxLabel(box)}}, figure(box));
}

bool LinkUp(BoxState state) { return state == BoxState::Connected || state == BoxState::Silent; }

void BoxFamilies(CExposition& out, const HubHealth& health) {
  BoxFamily(out, health, "tessamer_box_up", "gauge", "1 while the box's link is up (connected or silent).",
            [](const BoxHealth& box) { return LinkUp(box.state) ? "1" : "0"; });
  out.Family("tessamer_box_state", "gauge", "1 for the state the box is in, 0 for the others.");
  for (const BoxHealth& box : health.boxes) {
    for (const BoxState state : kBoxStates) {
      out.Sample({{"box", BoxLabel(box)}, {"state", BoxStateName(state)}}, state == box.state ? "1" : "0");
    }
  }
  BoxFamily(out, health, "tessamer_box_state_since_timestamp_seconds", "gauge",
            "When the box entered its state, in seconds since the Unix epoch.",
            [](const BoxHealth& box) { return Timestamp(box.stateSince); });
  BoxFamily(out, health, "tessamer_box_connections_total", "counter", "Links to the box made this run.",
            [](const BoxHealth& box) { return Number(static_cast<uint64_t>(box.connections)); });
  BoxFamily(out, health, "tessamer_box_reconnections_total", "counter", "Reconnections to the box begun this run.",
            [](const BoxHealth& box) { return Number(static_cast<uint64_t>(box.reconnections)); });
  BoxFamily(out, health, "tessamer_box_records_total", "counter", "Data records received from the box this run.",
            [](const BoxHealth& box) { return Number(box.records); });
  BoxFamily(out, health, "tessamer_box_records_per_second", "gauge",
            "Data records per second from the box over the last minute.",
            [](const BoxHealth& box) { return Number(box.recordsPerSecond); });
  out.Family("tessamer_box_newest_record_age_seconds", "gauge", "Age of the box's newest data record.");
  for (const BoxHealth& box : health.boxes) {
    if (box.newestRecordAge) {
      out.Sample({{"box", BoxLabel(box)}}, Number(static_cast<double>(box.newestRecordAge->count()) / 1000.0));
    }
  }
  BoxFamily(out, health, "tessamer_box_rejected_lines_total", "counter", "Lines from the box the parser rejected.",
            [](const BoxHealth& box) { return Number(box.rejectedLines); });
  BoxFamily(out, health, "tessamer_box_replaced_records_total", "counter",
            "Records of the box a newer one replaced before the merge published it.",
            [](const BoxHealth& box) { return Number(box.replacedRecords); });
  out.Family("tessamer_box_info", "gauge", "The box's job header: serial number, firmware and job type.");
  for (const BoxHealth& box : health.boxes) {
    out.Sample({{"box", BoxLabel(box)},
                {"serial_number", box.serialNumber},
                {"firmware", box.firmware},
                {"job_type", box.jobType}},
               "1");
  }
}

// One family of a per-viewer figure.
template <typename Figure>
void ViewerFamily(CExposition& out, const HubHealth& health, const char* name, const char* type, const char* help,
                  Figure figure) {
  out.Family(name, type, help);
  for (const ViewerHealth& viewer : health.viewers) {
    out.Sample({{"viewer", viewer.peerAddress + ":" + std::to_string(viewer.peerPort)},
                {"socket", std::to_string(viewer.socket)}},
               figure(viewer));
  }
}

void ViewerFamilies(CExposition& out, const HubHealth& health) {
  uint64_t connected = 0;
  for (const ViewerHealth& viewer : health.viewers) connected += viewer.connected ? 1 : 0;
  out.Family("tessamer_viewers", "gauge", "Viewers connected to the data server.");
  out.Sample({}, Number(connected));
  ViewerFamily(out, health, "tessamer_viewer_connected", "gauge", "1 while the viewer is connected.",
               [](const ViewerHealth& viewer) { return viewer.connected ? "1" : "0"; });
  ViewerFamily(out, health, "tessamer_viewer_connected_since_timestamp_seconds", "gauge",
               "When the viewer connected, in seconds since the Unix epoch.",
               [](const ViewerHealth& viewer) { return Timestamp(viewer.connectedSince); });
  ViewerFamily(out, health, "tessamer_viewer_lines_sent_total", "counter", "Lines sent to the viewer.",
               [](const ViewerHealth& viewer) { return Number(viewer.linesSent); });
  ViewerFamily(out, health, "tessamer_viewer_sent_bytes_total", "counter", "Bytes sent to the viewer.",
               [](const ViewerHealth& viewer) { return Number(viewer.bytesSent); });
  ViewerFamily(out, health, "tessamer_viewer_queued_bytes", "gauge", "Bytes waiting to be sent to the viewer.",
               [](const ViewerHealth& viewer) { return Number(viewer.bytesQueued); });
  ViewerFamily(out, health, "tessamer_viewer_closed_for_falling_behind", "gauge",
               "1 when the hub closed the viewer's connection because it fell behind.",
               [](const ViewerHealth& viewer) { return viewer.closedForFallingBehind ? "1" : "0"; });
}

void RunFamilies(CExposition& out, const HubHealth& health) {
  const RunHealth& run = health.run;
  out.Family("tessamer_run_active", "gauge", "1 while a run is going.");
  out.Sample({}, run.active ? "1" : "0");
  out.Family("tessamer_run_started_timestamp_seconds", "gauge",
             "When the current or last run started, in seconds since the Unix epoch.");
  if (run.startedAt != WallClock::time_point{}) out.Sample({}, Timestamp(run.startedAt));
  out.Family("tessamer_run_records_published_total", "counter", "Combined records published this run.");
  out.Sample({}, Number(run.recordsPublished));
  out.Family("tessamer_run_repeats_sent_total", "counter",
             "Combined records repeated this run while the boxes were silent.");
  out.Sample({}, Number(run.repeatsSent));
}

void ChannelFamily(CExposition& out, const HubHealth& health) {
  out.Family("tessamer_channel_value", "gauge",
             "The newest combined value of each channel; none while its box gives no reading.");
  for (const CombinedChannel& channel : health.channels) {
    if (channel.missing) continue;  // a gap, not the 0 viewers get
    out.Sample({{"channel", channel.name}, {"unit", channel.unit}, {"box", ChannelBox(health, channel.box)}},
               Number(channel.value));
  }
}

void RecordingFamilies(CExposition& out, const RecordingHealth& recording) {
  const Labels file = {{"file", recording.file}};
  out.Family("tessamer_recording_info", "gauge", "The job recording: its file and state.");
  out.Sample({{"file", recording.file}, {"state", recording.state}}, "1");
  out.Family("tessamer_recording_size_bytes", "gauge", "Size of the recording's file.");
  out.Sample(file, Number(recording.sizeBytes));
  out.Family("tessamer_recording_records", "gauge", "Records in the recording's file.");
  out.Sample(file, Number(recording.records));
  out.Family("tessamer_recording_waiting_records", "gauge", "Records not yet written to the recording.");
  out.Sample(file, Number(recording.waiting));
  out.Family("tessamer_recording_dropped_records_total", "counter",
             "Records given up because too many were waiting to be written.");
  out.Sample(file, Number(recording.dropped));
}

void UplinkFamilies(CExposition& out, const UplinkHealth& uplink) {
  const Labels broker = {{"broker", uplink.broker}};
  out.Family("tessamer_uplink_up", "gauge", "1 while the uplink is connected to its broker.");
  out.Sample(broker, uplink.state == "connected" ? "1" : "0");
  out.Family("tessamer_uplink_info", "gauge", "The uplink's broker and state.");
  out.Sample({{"broker", uplink.broker}, {"state", uplink.state}}, "1");
  out.Family("tessamer_uplink_cursor", "gauge", "Every record up to this sequence number is acknowledged.");
  out.Sample(broker, Number(uplink.cursor));
  out.Family("tessamer_uplink_backlog_records", "gauge", "Recorded records after the cursor.");
  out.Sample(broker, Number(uplink.backlog));
  out.Family("tessamer_uplink_in_flight_records", "gauge", "Records sent and not yet acknowledged.");
  out.Sample(broker, Number(uplink.inFlight));
  out.Family("tessamer_uplink_sent_records_total", "counter", "Records the broker acknowledged.");
  out.Sample(broker, Number(uplink.sent));
  out.Family("tessamer_uplink_reconnections_total", "counter", "Reconnections to the broker.");
  out.Sample(broker, Number(uplink.reconnections));
}

void ProcessFamilies(CExposition& out, const ProcessFigures& process) {
  out.Family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
  out.Sample({}, Number(process.cpuSeconds));
  out.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  out.Sample({}, Number(process.residentBytes));
  out.Family("process_open_fds", "gauge", "Number of open file descriptors.");
  out.Sample({}, Number(process.openDescriptors));
  out.Family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
  if (process.startTime > 0) out.Sample({}, Number(process.startTime));
}

void EndpointFamilies(CExposition& out, const EndpointFigures& endpoint) {
  out.Family("tessamer_status_connections", "gauge", "Connections open to the status endpoint.");
  out.Sample({}, Number(endpoint.connections));
  out.Family("tessamer_status_event_streams", "gauge", "Event streams open to web pages.");
  out.Sample({}, Number(endpoint.eventStreams));
  out.Family("tessamer_status_connections_refused_total", "counter",
             "Connections closed at once because every place was busy.");
  out.Sample({}, Number(endpoint.refused));
  out.Family("tessamer_status_connections_evicted_total", "counter",
             "Idle connections closed to make room for a new one.");
  out.Sample({}, Number(endpoint.evicted));
  out.Family("tessamer_status_connections_timed_out_total", "counter",
             "Connections closed at a deadline (request head, keep-alive, write).");
  out.Sample({}, Number(endpoint.timedOut));
  out.Family("tessamer_status_event_streams_dropped_total", "counter",
             "Event streams closed because their client fell behind.");
  out.Sample({}, Number(endpoint.streamsDropped));
}

void ExtraFamilies(CExposition& out, const MetricsExtras& extras) {
  if (!extras.version.empty()) {
    out.Family("tessamer_build_info", "gauge", "The program's version; always 1.");
    out.Sample({{"version", extras.version}}, "1");
  }
  if (extras.process) ProcessFamilies(out, *extras.process);
  if (extras.endpoint) EndpointFamilies(out, *extras.endpoint);
}

}  // namespace

std::string EscapedLabelValue(std::string_view value) {
  std::string text;
  text.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '"') {
      text += "\\\"";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

std::string HealthMetrics(const HubHealth& health, const MetricsExtras& extras) {
  CExposition out;
  ExtraFamilies(out, extras);
  RunFamilies(out, health);
  BoxFamilies(out, health);
  ViewerFamilies(out, health);
  ChannelFamily(out, health);
  if (health.recording) RecordingFamilies(out, *health.recording);
  if (health.uplink) UplinkFamilies(out, *health.uplink);
  return std::move(out).Text();
}

}  // namespace tessamer
