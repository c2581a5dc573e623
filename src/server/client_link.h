#pragma once
// One client connection as the data server's workers see it: the socket shared by the client's
// two records and the strand that serialises every operation on it.

#include <cstdint>
#include <string>

#include <asio.hpp>

#include "hub/core/health.h"
#include "server/client_context.h"
#include "server/command_relay.h"

namespace tessamer {

// Threads: every field but `strand` is touched only by handlers running on `strand`, except
// `socketValue`, `viewer` and the peer's fields, which are fixed before the link is shared, and
// `socket`, which the publisher also sends on while the client's processor is idle
// (CClientProcessor, SendNow).
struct ClientLink {
  explicit ClientLink(asio::io_context& io) : strand(asio::make_strand(io)), socket(strand) {}

  asio::strand<asio::io_context::executor_type> strand;
  asio::ip::tcp::socket socket;
  bool open = false;                     // from the client's set-up until it is closed, once
  uintptr_t socketValue = 0;             // the socket's number, as the notices carry it
  ViewerId viewer = 0;                   // the connection's number, as the relay knows it
  std::string peerAddress;               // the viewer's address and port
  uint16_t peerPort = 0;
  WallClock::time_point connectedSince{};
  ClientContext* writeRecord = nullptr;  // owned by the pool
};

// A run of buffers to send, as a buffer sequence.
struct SendBuffers {
  using value_type = asio::const_buffer;
  using const_iterator = const asio::const_buffer*;
  const asio::const_buffer* first;
  const asio::const_buffer* last;
  const_iterator begin() const { return first; }
  const_iterator end() const { return last; }
};

}  // namespace tessamer
