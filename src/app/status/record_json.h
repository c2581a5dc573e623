#pragma once
// One combined record as JSON, for the web page's event stream and for the recording's readers:
//   {"seq":N|null,"run":R,"time":"2026-03-04T14:05:00","received_at":"2026-03-04T13:05:00.123Z",
//    "values":{"Pressure_0":12.5,"Rate_0":null,...}}
// "time" is the box's own clock as its data line gave it (local, no zone, whole seconds);
// "received_at" when the hub published the record, UTC with milliseconds. A channel of a box that
// is lost or has not delivered yet, and a value that is not finite, are null.
//
// Threads: plain functions.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hub/core/job_output.h"

namespace tessamer {

// `names` are the combined header's channel names in order; values beyond them are left out.
// `seq` is the record's number in the recording; none: null.
std::string RecordJson(const PublishedRecord& record, const std::vector<std::string>& names,
                       std::optional<uint64_t> seq = std::nullopt);

// The box time of a record's data line: "2026-03-04T14:05:00".
std::string BoxTimeText(const Data& data);

}  // namespace tessamer
