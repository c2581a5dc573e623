#pragma once
// One connected viewer: its socket and strand, what it is sent (CClientProcessor: the send queue
// and the texts being sent) and what it sends (COffsetProcessor: the received-line buffer). The
// connection keeps itself alive across its own handlers, each of which holds it; the pool holds it
// while it is one of the viewers, and the command relay only weakly.
//
//   New ── Start: set up, joined the viewers ──► Open ── the peer closed, a receive or a send
//    │                                                   failed, RequestClose (over the cap,
//    │                                                   Stop) ──────────────────────► Closed
//    └── the server is stopping: closed at once, no notices ───────────────────────► Closed
//
//   receive loop  one receive outstanding ─► COffsetProcessor ─► "##" lines to the owner
//   send step     the processor's texts ─► one non-blocking send; a full socket is waited on
//   direct write  the publisher, under the pool's lock and the processor's, writes to a viewer
//                 with nothing queued or being sent itself (SendNow): never while the strand
//                 sends, never after the connection has left the pool
//
// Threads: Start and RequestClose post to the connection's strand (the socket's executor), where
// every handler, the receive loop, the send step and the close run; RequestSend runs the send step
// there. Post, DropQueued and Health are for the pool, under its lock, from any thread. The
// socket value and the peer's fields are fixed on the strand before the connection joins the
// pool, and only read after.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "hub/core/health.h"
#include "hub/core/notices.h"
#include "server/client_processor.h"
#include "server/command_relay.h"
#include "server/offset_processor.h"

namespace tessamer {

class CViewerConnection;

using ViewerStrand = asio::strand<asio::io_context::executor_type>;
using ViewerSocket = asio::basic_stream_socket<asio::ip::tcp, ViewerStrand>;

// What a viewer connection needs of its server. Threads: the connection's strand.
class IViewerOwner {
 public:
  virtual ~IViewerOwner() = default;
  // `viewer` is set up: it joins the viewers, is handed the saved texts and is reported
  // connected. False when the server is stopping (nothing is then done).
  virtual bool Join(const std::shared_ptr<CViewerConnection>& viewer) = 0;
  // `viewer` is closing: it leaves the viewers and the relay and is reported disconnected, before
  // its socket is closed.
  virtual void Left(CViewerConnection& viewer) = 0;
  // A "##" line `viewer` sent, the line feed removed.
  virtual void Command(const std::shared_ptr<CViewerConnection>& viewer, std::string line) = 0;
};

class CViewerConnection : public std::enable_shared_from_this<CViewerConnection>,
                          private IClientSocket {
 public:
  // `socket` is an accepted connection whose executor is the connection's own strand; `owner`
  // must outlive every handler of the socket's io_context, `window` (may be null) likewise.
  CViewerConnection(ViewerSocket socket, IViewerOwner& owner, ViewerId viewer,
                    INoticeSink* window, size_t queueLimit = kMaxQueuedBytes);
  CViewerConnection(const CViewerConnection&) = delete;
  CViewerConnection& operator=(const CViewerConnection&) = delete;

  void Start();         // sets the connection up on its strand and starts its loops
  void RequestSend();   // the send step, on the strand: at once when a worker finds it free
  void RequestClose();  // an abortive close, on the strand; nothing when already closed

  // Hands a text to the viewer (CClientProcessor::Post).
  PostResult Post(std::shared_ptr<const std::string> text, PostMode mode, size_t texts) {
    return sender.Post(std::move(text), mode, texts);
  }
  void DropQueued() { sender.Reset(); }
  // The held lines, from the first, that this viewer has already or must not get (the pool's,
  // under its lock).
  size_t heldSkipped = 0;
  ViewerHealth Health() const;  // as connected; the pool marks the viewers that have gone

  size_t QueueLimit() const { return sender.QueueLimit(); }
  ViewerId Viewer() const { return viewer; }
  uintptr_t SocketValue() const { return socketValue; }
  std::string PeerText() const;  // "address:port"

 private:
  enum class State { New, Open, Closed };

  size_t SendNow(std::string_view bytes) override;  // the publisher's direct write
  void SetUp();
  void Receive();
  void OnReceive(const asio::error_code& failure, size_t count);
  void RunSendStep();
  void AwaitWritable();
  void Close(bool abortive);

  ViewerSocket socket;  // its executor is the connection's strand
  IViewerOwner& owner;
  const ViewerId viewer;                   // the connection's number, as the relay knows it
  State state = State::New;                // strand only
  uintptr_t socketValue = 0;               // the socket's number, as the notices carry it
  std::string peerAddress;                 // the viewer's address and port
  uint16_t peerPort = 0;
  WallClock::time_point connectedSince{};
  CClientProcessor sender;                 // the send queue and the texts being sent
  COffsetProcessor receiver;               // the received-line buffer
  std::array<char, kReceiveChunk> received{};  // the bytes of the receive outstanding
};

}  // namespace tessamer
