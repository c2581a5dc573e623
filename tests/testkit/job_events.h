#pragma once
// Made-up events of the combined job, as a run hands them to its outputs: for tests of outputs
// (the recording) that do not need a hub. The texts have the shape viewers receive: a header
// block of "#" lines and data lines "MM/DD/YY HH:MM:SS v1 v2 ... " with four decimals, CR LF.

#include <bitset>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "hub/core/job_output.h"
#include "support/number_text.h"

namespace tessamer::testkit {

inline RunStarted MakeRun(uint64_t run, WallClock::time_point at, int boxes = 2) {
  RunStarted started{run, at, {}, 6};
  for (int b = 0; b < boxes; ++b) {
    started.boxes.push_back(RunBox{b, "127.0.0." + std::to_string(b + 2), 5000});
  }
  return started;
}

inline std::shared_ptr<const PublishedHeader> MakeHeader(uint64_t run, WallClock::time_point at,
                                                         std::vector<ChannelSource> channels) {
  auto header = std::make_shared<PublishedHeader>();
  header->run = run;
  header->at = at;
  header->header.count = static_cast<int32_t>(channels.size());
  std::string units = "# UnitList ";
  std::string names = "#";
  for (const ChannelSource& channel : channels) {
    units += channel.unit + " ";
    names += channel.name + " ";
  }
  header->block =
      "#  Quintrel Job Data\r\n# SerialNumber 4711\r\n" + units + "\r\n" + names + "\r\n";
  header->channels = std::move(channels);
  return header;
}

// A record of `values` (header order) whose box time is `at` read as UTC.
inline std::shared_ptr<const PublishedRecord> MakeRecord(uint64_t run, WallClock::time_point at,
                                                         const std::vector<double>& values,
                                                         std::bitset<MaxChannels> missing = {},
                                                         bool repeat = false) {
  auto record = std::make_shared<PublishedRecord>();
  record->run = run;
  record->at = at;
  record->missing = missing;
  record->repeat = repeat;
  const std::time_t seconds = WallClock::to_time_t(at);
  gmtime_r(&seconds, &record->data.time);
  record->data.count = static_cast<int32_t>(values.size());
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S ", &record->data.time);
  record->line = stamp;
  for (size_t i = 0; i < values.size(); ++i) {
    record->data.values[i] = missing[i] ? 0.0 : values[i];
    AppendFixed(record->line, record->data.values[i], 4);
    record->line += ' ';
  }
  record->line += "\r\n";
  return record;
}

}  // namespace tessamer::testkit
