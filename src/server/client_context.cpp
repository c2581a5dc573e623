#include "server/client_context.h"

#include "server/client_link.h"
#include "server/processor.h"

namespace tessamer {

ClientContext::~ClientContext() = default;

void ClientContext::Initialise(uint16_t port) {
  position = 0;
  lastTransfer = 0;
  length = 0;
  texts.clear();
  buffer[0] = 0;
  link.reset();
  listenPort = port;
}

}  // namespace tessamer
