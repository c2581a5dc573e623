#include "support/accept_retry.h"

#include <asio/error.hpp>

namespace tessamer {

namespace {

// A connection that was reset or given up while it waited in the backlog (Linux reports a new
// connection's protocol error the same way), or a wait that came back early.
bool PeerGone(const std::error_code& failure) {
  return failure == asio::error::connection_aborted || failure == asio::error::connection_reset ||
         failure == std::errc::protocol_error || failure == asio::error::would_block ||
         failure == asio::error::try_again || failure == asio::error::interrupted;
}

}  // namespace

AcceptRetry AfterAcceptFailure(const std::error_code& failure) {
  if (failure == asio::error::operation_aborted || failure == asio::error::bad_descriptor) {
    return AcceptRetry::Never;
  }
  return PeerGone(failure) ? AcceptRetry::AtOnce : AcceptRetry::AfterDelay;
}

}  // namespace tessamer
