#pragma once
// One I/O record of the data server. A connected client has two: its write record (with a
// CClientProcessor: the texts it is sent) and its read record (with a COffsetProcessor: what it
// sends). Write records are recycled through the pool's `free` list; read records live as long
// as their client's receive loop.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessamer {

class CProcessor;
struct ClientLink;

inline constexpr size_t kRecordBufferSize = 4096;  // one receive

// Threads: a record is worked on by one thread at a time: the worker running its client's strand,
// or a thread holding the pool's lock while the record changes lists. The write record's send
// fields (`texts`, `position`, `length`) belong to whoever holds the processor's `Sending` state
// (see CClientProcessor).
struct ClientContext {
  ClientContext() = default;
  ~ClientContext();
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  // Back to a fresh record for `port`: counters 0, no text, no link. The processor is kept.
  void Initialise(uint16_t port);

  size_t position = 0;      // write: bytes of `texts` already sent
  size_t lastTransfer = 0;  // read: bytes of the last receive
  size_t length = 0;        // write: total length of `texts`
  // write: the texts being sent, whole and in order (one gathered send for a client that has
  // fallen behind), each shared by every client it was broadcast to
  std::vector<std::shared_ptr<const std::string>> texts;
  std::array<char, kRecordBufferSize> buffer{};  // read: the bytes of the last receive
  std::shared_ptr<ClientLink> link;  // the client's socket; null while none (guarded by the
                                     // pool's lock for write records)
  std::unique_ptr<CProcessor> processor;  // owned
  uint16_t listenPort = 0;  // the server's port, carried in the window notices
};

}  // namespace tessamer
