#pragma once
// What a listener does after an accept failed: the one rule for every acceptor of the hub. A
// listener never stops for good on a failure that passes: a process that ran out of descriptors
// (or socket buffers, or memory) once takes connections again as soon as they are freed, and it
// does not spin on the failure meanwhile.
//
// Threads: any (no state).

#include <chrono>
#include <system_error>

namespace tessamer {

// After an accept failed for want of resources, the next one waits this long rather than failing
// again at once.
inline constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

enum class AcceptRetry {
  Never,       // the listening socket was closed: accepting has ended
  AtOnce,      // the connection went before it was taken: accept the next one now
  AfterDelay,  // short of descriptors, buffers or memory, or any other failure: accept again
               // after kAcceptRetryDelay
};

// What to do after `failure` of an accept on a listening socket that is still open.
AcceptRetry AfterAcceptFailure(const std::error_code& failure);

}  // namespace tessamer
