#pragma once
// Where the data server hands a viewer's box command: every received line that begins with "##".
// The relay decides what to do with the command and answers the viewer that sent it, and only
// that viewer, through `reply`.

#include <functional>
#include <string>

namespace tessamer {

// Threads: Relay is called on a data server worker thread and must not block it: a relay that
// talks to a box does so on a thread of its own. The relay must outlive the data server's Stop.
class ICommandRelay {
 public:
  virtual ~ICommandRelay() = default;
  // `command`: the text of one "##" line as received, the line feed removed, a carriage return
  // before it still part of the line. `reply` queues one text to that client alone and is safe to
  // call from any thread, also after the client left (the text is then dropped) and after the
  // data server stopped.
  virtual void Relay(std::string command, std::function<void(std::string)> reply) = 0;
};

}  // namespace tessamer
