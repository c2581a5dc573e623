#pragma once
// Where the data server hands a viewer's box command: every received line that begins with "##".
// The relay decides what to do with the command and answers the viewer that sent it, and only
// that viewer, through `reply`.

#include <cstdint>
#include <functional>
#include <string>

namespace tessamer {

// One viewer connection as the relay knows it: a number the data server gives each accepted
// client, never given twice while the server runs (unlike a socket value).
using ViewerId = uint64_t;

// Threads: Relay and ViewerLeft are called on data server worker threads and must not block
// them: a relay that talks to a box does so on threads of its own. For one viewer the calls come
// in order: its commands as received, then ViewerLeft once. The relay must outlive the data
// server's Stop.
class ICommandRelay {
 public:
  virtual ~ICommandRelay() = default;
  // `command`: the text of one "##" line of `viewer`, the line feed removed, a carriage return
  // before it still part of the line. `reply` queues one text to that client alone and is safe to
  // call from any thread, also after the client left (the text is then dropped) and after the
  // data server stopped.
  virtual void Relay(ViewerId viewer, std::string command,
                     std::function<void(std::string)> reply) = 0;
  // `viewer` has disconnected: whatever of its commands has not yet gone to a box is dropped.
  virtual void ViewerLeft(ViewerId viewer) = 0;
};

}  // namespace tessamer
