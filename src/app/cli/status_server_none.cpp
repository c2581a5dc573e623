// The status endpoint of a build without an HTTP library (the Windows build): there is no
// endpoint to start, and Start says so.
#include "app/cli/status_server.h"

namespace httplib {
class Server {};  // never made in this build; the owner's pointer needs a complete type
}  // namespace httplib

namespace tessamer {

CStatusServer::CStatusServer(Snapshot snapshot) : snapshot(std::move(snapshot)) {}

CStatusServer::~CStatusServer() = default;

bool CStatusServer::Start(const std::string& address, uint16_t wanted, std::string& error) {
  error = "The status endpoint cannot listen on " + address + ":" + std::to_string(wanted) +
          ": this build has no status endpoint";
  return false;
}

void CStatusServer::Stop() {}

}  // namespace tessamer
