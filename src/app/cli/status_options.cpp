#include "app/cli/status_options.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/cli/box_list.h"
#include "app/status/status_access.h"
#include "support/ipv4_text.h"

namespace tessamer {
namespace {

constexpr uint32_t kLoopbackNet = 127;  // 127.0.0.0/8: this machine alone

}  // namespace

bool ReadStatusToken(const std::string& path, std::string& token, std::string& error) {
  std::error_code failure;
  std::ifstream file(path, std::ios::binary);
  if (!std::filesystem::is_regular_file(path, failure) || !file) {
    error = "--status-token-file " + path + " cannot be read";
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  token = content.str();
  const size_t first = token.find_first_not_of(" \t\r\n");
  const size_t last = token.find_last_not_of(" \t\r\n");
  token = first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
  if (!IsTokenText(token)) {
    error = "--status-token-file " + path +
            " holds no token (1 to 512 letters, digits or -._~+/= on one line)";
    return false;
  }
  return true;
}

bool StatusEndpointOf(const CommandLine& options, std::optional<StatusEndpoint>& endpoint, std::string& error) {
  endpoint.reset();
  if (!options.statusPort) return true;
  StatusEndpoint made;
  made.port = *options.statusPort;
  uint32_t hostOrder = 0;
  std::string why;
  if (!ResolveHost(options.statusListen, hostOrder, why)) {
    error = "--status-listen " + options.statusListen + " does not resolve: " + why;
    return false;
  }
  made.address = Ipv4Text(hostOrder);
  if (!options.statusTokenFile.empty() && !ReadStatusToken(options.statusTokenFile, made.token, error)) return false;
  if ((hostOrder >> 24) != kLoopbackNet && made.token.empty() && !options.statusOpen) {
    error = "--status-listen " + options.statusListen +
            " serves the status page beyond this machine: give --status-token-file FILE, or --status-open "
            "to serve it to anyone";
    return false;
  }
  endpoint = std::move(made);
  return true;
}

}  // namespace tessamer
