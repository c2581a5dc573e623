#include "box_utility_connection.h"

namespace tessamer::sim {

using asio::ip::tcp;

CBoxUtilityConnection::CBoxUtilityConnection(tcp::socket socket, const BoxSetup& setup,
                                             std::string_view serialNumber, RequestObserver observer)
    : socket(std::move(socket)),
      banner(setup.banner),
      helpAnswer("# Vellumetric VMC utility: GA GU GZ GY GS GC help\r\nSerial " + std::string(serialNumber) +
                 "\r\nFirmware Ver " + setup.firmware + "\r\n"),
      observer(std::move(observer)) {}

void CBoxUtilityConnection::Start() {
  if (banner) {
    Reply(kUtilityBanner);
  } else {
    ReadRequest();
  }
}

void CBoxUtilityConnection::Close() {
  asio::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

void CBoxUtilityConnection::ReadRequest() {
  asio::async_read_until(socket, input, '\n',
                         [self = shared_from_this()](const asio::error_code& error, size_t length) {
                           if (error) {
                             self->Close();
                             return;
                           }
                           self->OnLine(length);
                         });
}

void CBoxUtilityConnection::OnLine(size_t length) {
  const auto begin = asio::buffers_begin(input.data());
  const std::string line(begin, begin + static_cast<std::ptrdiff_t>(length));
  input.consume(length);
  std::string request = line.substr(0, line.size() - 1);
  while (!request.empty() && request.back() == '\r') request.pop_back();
  if (request.empty()) {
    ReadRequest();
    return;
  }
  observer(request);
  Reply(Answer(request, line.size()));
}

void CBoxUtilityConnection::Reply(std::string text) {
  output = std::move(text);
  asio::async_write(socket, asio::buffer(output), [self = shared_from_this()](const asio::error_code& error, size_t) {
    if (error) {
      self->Close();
      return;
    }
    self->ReadRequest();
  });
}

std::string CBoxUtilityConnection::Answer(const std::string& request, size_t received) const {
  if (request == "help") return helpAnswer;
  if (request[0] == 'G') return std::string(kAcknowledgement) + std::to_string(received) + "\r\nDone\r\n";
  return "Unknown command\r\n";
}

}  // namespace tessamer::sim
