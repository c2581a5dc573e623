#include "hub/bridge/waiting_box_probe.h"

#include <asio/ip/tcp.hpp>

namespace tessamer {

// One round's connects and their common deadline; kept alive by its handlers.
struct CWaitingBoxProbe::Round {
  explicit Round(asio::io_context& io) : deadline(io) {}
  void GiveUp() {
    std::error_code ignored;
    for (asio::ip::tcp::socket& socket : sockets) socket.close(ignored);
    deadline.cancel();
  }

  std::vector<asio::ip::tcp::socket> sockets;
  asio::steady_timer deadline;
  size_t pending = 0;  // connects not yet completed
};

CWaitingBoxProbe::CWaitingBoxProbe(std::vector<Box> waiting, std::chrono::milliseconds period,
                                   std::chrono::milliseconds connectTimeout,
                                   std::function<void()> answered)
    : boxes(std::move(waiting)),
      period(period),
      connectTimeout(connectTimeout),
      answered(std::move(answered)) {
  WaitForRound();
  thread = std::thread([this] { io.run(); });
}

CWaitingBoxProbe::~CWaitingBoxProbe() {
  io.stop();
  thread.join();
}

void CWaitingBoxProbe::WaitForRound() {
  pause.expires_after(period);
  pause.async_wait([this](const std::error_code& error) {
    if (!error) TryAll();
  });
}

void CWaitingBoxProbe::TryAll() {
  auto round = std::make_shared<Round>(io);
  round->sockets.reserve(boxes.size());
  round->pending = boxes.size();
  for (const Box& box : boxes) {
    asio::ip::tcp::socket& socket = round->sockets.emplace_back(io);
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4(HostOrderOf(box.address)),
                                           static_cast<uint16_t>(box.port));
    socket.async_connect(endpoint, [this, round](const std::error_code& error) {
      Tried(*round, !error);
    });
  }
  round->deadline.expires_after(connectTimeout);
  round->deadline.async_wait([round](const std::error_code& error) {
    if (!error) round->GiveUp();  // the connects still pending complete as aborted
  });
}

void CWaitingBoxProbe::Tried(Round& round, bool accepted) {
  if (done) return;
  if (accepted) {
    done = true;
    round.GiveUp();
    answered();
    return;
  }
  if (--round.pending > 0) return;
  round.deadline.cancel();
  WaitForRound();
}

}  // namespace tessamer
