#pragma once
// `tessamer --status [HOST:]PORT`: asks a running hub's status endpoint for its health and shows
// it as two tables, boxes and viewers, for a person to read.

#include <string>

namespace tessamer {

// Exit statuses of --status.
inline constexpr int kExitStatusShown = 0;
inline constexpr int kExitNoStatus = 1;  // nothing answered, or not with a hub's status

// Fetches GET /status from `target` ("HOST:PORT"), with `token` when the endpoint asks for one,
// and prints the tables on standard output; returns kExitStatusShown, or kExitNoStatus after one
// line on standard error.
int ShowStatus(const std::string& target, const std::string& token = {});

// The tables of a GET /status body; false when the text is not a hub's status.
bool StatusTables(const std::string& json, std::string& tables);

}  // namespace tessamer
