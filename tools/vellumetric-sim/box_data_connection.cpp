#include "box_data_connection.h"

namespace tessamer::sim {

using asio::ip::tcp;

CBoxDataConnection::CBoxDataConnection(tcp::socket socket, std::chrono::milliseconds gap)
    : socket(std::move(socket)), gapTimer(this->socket.get_executor()), gap(gap) {
  asio::error_code ignored;
  this->socket.set_option(tcp::no_delay(true), ignored);
}

void CBoxDataConnection::Send(std::vector<std::string> pieces) {
  for (auto& piece : pieces) {
    pendingBytes += piece.size();
    queue.push_back(std::move(piece));
  }
  if (pendingBytes > kMaxPendingBytes) {
    Close();
    return;
  }
  if (!writing) WriteNext();
}

void CBoxDataConnection::Close() {
  asio::error_code ignored;
  gapTimer.cancel();
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
  queue.clear();
  pendingBytes = 0;
}

void CBoxDataConnection::WriteNext() {
  writing = !queue.empty() && socket.is_open();
  if (!writing) return;
  asio::async_write(socket, asio::buffer(queue.front()),
                    [self = shared_from_this()](const asio::error_code& error, size_t) {
                      self->OnWritten(error);
                    });
}

void CBoxDataConnection::OnWritten(const asio::error_code& error) {
  // A closed connection has emptied its queue: the piece just written is gone already.
  if (error || queue.empty()) {
    writing = false;
    return;
  }
  pendingBytes -= queue.front().size();
  queue.pop_front();
  if (gap.count() == 0 || queue.empty()) {
    WriteNext();
    return;
  }
  gapTimer.expires_after(gap);
  gapTimer.async_wait([self = shared_from_this()](const asio::error_code& waited) {
    if (waited) {
      self->writing = false;
      return;
    }
    self->WriteNext();
  });
}

}  // namespace tessamer::sim
