#pragma once
// The status endpoint the options ask for, made ready once at the start: its host name resolved,
// its token read, and the rule that an endpoint beyond loopback needs a token (or --status-open).
//
// Threads: a plain function; it blocks while a host name is looked up.

#include <optional>
#include <string>

#include "app/cli/command_line.h"
#include "app/status/status_server.h"

namespace tessamer {

// `endpoint` is none without --status-port. False with a one-line `error` (no line end) when the
// address does not resolve, the token file cannot be read or holds no token, or the endpoint
// would listen beyond loopback without a token or --status-open.
bool StatusEndpointOf(const CommandLine& options, std::optional<StatusEndpoint>& endpoint, std::string& error);

// The token in the file `path` (one line; blanks and line ends around it ignored). False with a
// one-line `error` when the file cannot be read or holds no usable token.
bool ReadStatusToken(const std::string& path, std::string& token, std::string& error);

}  // namespace tessamer
