#include "server/viewer_connection.h"

#include <utility>

namespace tessamer {

namespace {
// A run of buffers to send, as a buffer sequence.
struct BufferRun {
  using value_type = asio::const_buffer;
  using const_iterator = const asio::const_buffer*;
  const asio::const_buffer* first;
  const asio::const_buffer* last;
  const_iterator begin() const { return first; }
  const_iterator end() const { return last; }
};
}  // namespace

CViewerConnection::CViewerConnection(ViewerSocket socket, IViewerOwner& owner, ViewerId viewer,
                                     INoticeSink* window, size_t queueLimit)
    : socket(std::move(socket)),
      owner(owner),
      viewer(viewer),
      sender(queueLimit, this),
      receiver(window, [this](std::string line) {
        this->owner.Command(shared_from_this(), std::move(line));
      }) {}

void CViewerConnection::Start() {
  asio::post(socket.get_executor(), [self = shared_from_this()] { self->SetUp(); });
}

void CViewerConnection::RequestSend() {
  asio::dispatch(socket.get_executor(), [self = shared_from_this()] { self->RunSendStep(); });
}

void CViewerConnection::RequestClose() {
  asio::post(socket.get_executor(), [self = shared_from_this()] { self->Close(true); });
}

ViewerHealth CViewerConnection::Health() const {
  const ClientFigures figures = sender.Figures();
  ViewerHealth health;
  health.socket = static_cast<int64_t>(socketValue);
  health.peerAddress = peerAddress;
  health.peerPort = peerPort;
  health.connectedSince = connectedSince;
  health.linesSent = figures.textsSent;
  health.bytesSent = figures.bytesSent;
  health.bytesQueued = figures.bytesQueued;
  health.closedForFallingBehind = figures.closing;
  return health;
}

std::string CViewerConnection::PeerText() const {
  return peerAddress + ":" + std::to_string(peerPort);
}

size_t CViewerConnection::SendNow(std::string_view bytes) {
  // The caller holds the pool's lock, so the connection has not left the pool and its socket is
  // open, and the processor's lock with nothing being sent, so this is the one send on the
  // socket. The socket does not block (SetUp).
  asio::error_code failure;
  const size_t sent = socket.send(asio::buffer(bytes.data(), bytes.size()), 0, failure);
  return failure ? 0 : sent;
}

void CViewerConnection::SetUp() {
  asio::error_code ignored;
  socketValue = static_cast<uintptr_t>(socket.native_handle());
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  // Every text is a whole line or block meant to go at once: without this a small data line can
  // wait behind an unacknowledged one for the peer's delayed acknowledgement (tens of ms).
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.non_blocking(true, ignored);
  const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ignored);
  peerAddress = peer.address().to_string();
  peerPort = peer.port();
  connectedSince = WallClock::now();
  if (!owner.Join(shared_from_this())) {  // the server is stopping
    state = State::Closed;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    return;
  }
  state = State::Open;
  Receive();
  RunSendStep();  // the saved texts the pool handed over
}

void CViewerConnection::Receive() {
  socket.async_receive(asio::buffer(received),
                       [self = shared_from_this()](const asio::error_code& failure, size_t n) {
                         self->OnReceive(failure, n);
                       });
}

void CViewerConnection::OnReceive(const asio::error_code& failure, size_t count) {
  if (state != State::Open) return;
  // The peer closed, or the connection failed: the receive loop ends with the connection.
  if (failure || count == 0) return Close(false);
  receiver.Consume(std::string_view(received.data(), count));
  Receive();
}

void CViewerConnection::RunSendStep() {
  // The socket does not block: the texts go out at once as far as the socket takes them, and
  // only a socket that is full is waited on.
  SendBuffers buffers;
  while (state == State::Open && sender.Process() == SendStep::BytesToSend) {
    const size_t count = sender.Unsent(buffers);
    asio::error_code failure;
    const size_t sent = socket.send(BufferRun{buffers.data(), buffers.data() + count}, 0, failure);
    if (failure == asio::error::would_block || failure == asio::error::try_again) {
      return AwaitWritable();
    }
    if (failure) return Close(false);
    sender.Sent(sent);
  }
}

void CViewerConnection::AwaitWritable() {
  socket.async_wait(asio::socket_base::wait_write,
                    [self = shared_from_this()](const asio::error_code& failure) {
                      if (self->state != State::Open) return;
                      if (failure) return self->Close(false);
                      self->RunSendStep();
                    });
}

void CViewerConnection::Close(bool abortive) {
  if (state != State::Open) return;
  state = State::Closed;
  owner.Left(*this);  // from now on the publisher does not touch the socket
  asio::error_code ignored;
  if (abortive) {
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
  } else {
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
  }
  socket.close(ignored);  // cancels the receive and any wait for room
}

}  // namespace tessamer
