#include "support/accept_retry.h"

#include <asio/error.hpp>

namespace tessamer {

namespace {

// A connection that was reset or given up while it waited in the backlog, or a wait that came
// back early. Compared as error codes alone, without a virtual call into an error category: a
// sanitizer build checks each such call, and the check needs a descriptor, which may be just what
// the process lacks here.
bool PeerGone(const std::error_code& failure) {
  return failure == asio::error::connection_aborted || failure == asio::error::connection_reset ||
         failure == asio::error::would_block || failure == asio::error::try_again ||
         failure == asio::error::interrupted;
}

}  // namespace

AcceptRetry AfterAcceptFailure(const std::error_code& failure) {
  if (failure == asio::error::operation_aborted || failure == asio::error::bad_descriptor) {
    return AcceptRetry::Never;
  }
  return PeerGone(failure) ? AcceptRetry::AtOnce : AcceptRetry::AfterDelay;
}

}  // namespace tessamer
