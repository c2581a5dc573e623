#pragma once
// The little JSON the recording writes itself: strings (UTF-8 in, escaped as JSON asks) and the
// values of a record (numbers as the data line writes them, null where there is no value).

#include <bitset>
#include <string>
#include <string_view>

#include "hub/core/records.h"

namespace tessamer {

// Appends `text` as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view text);

// "[1.5000,null,2.0000]": the first `data.count` values in header order, four decimals as the
// data line has them; null for a `missing` channel and for a value JSON cannot hold (not finite).
std::string ValuesJson(const Data& data, const std::bitset<MaxChannels>& missing);

}  // namespace tessamer
