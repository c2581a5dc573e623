#pragma once
// One connection to a simulated box's utility port. It greets with kUtilityBanner (unless the box
// has no banner), then reads request lines one at a time and answers each before reading the
// next: "help" with a comment line, the box's serial number and "Firmware Ver <firmware>"; a
// request beginning with "G" with kAcknowledgement, the bytes the request took (line end
// included) and "Done"; anything else with "Unknown command". Empty lines are skipped.
//
// Shared ownership, as Asio's sessions: the box's list of connections and every pending handler
// hold it. It closes itself when the peer closes or a read or write fails.
// Threads: the simulator's thread only; the observer is called there.

#include <asio.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "box_setup.h"

namespace tessamer::sim {

inline constexpr const char* kUtilityBanner = "Vellumetric-VMC: connected\r\n";
inline constexpr const char* kAcknowledgement = "Extended Command done ";
// A request line longer than this closes the connection.
inline constexpr size_t kMaxRequestBytes = 4096;

class CBoxUtilityConnection : public std::enable_shared_from_this<CBoxUtilityConnection> {
 public:
  // Called with every request line, without its line end, before it is answered.
  using RequestObserver = std::function<void(const std::string& request)>;

  // Takes over an accepted socket of the box that `setup` and `serialNumber` describe.
  CBoxUtilityConnection(asio::ip::tcp::socket socket, const BoxSetup& setup, std::string_view serialNumber,
                        RequestObserver observer);
  CBoxUtilityConnection(const CBoxUtilityConnection&) = delete;
  CBoxUtilityConnection& operator=(const CBoxUtilityConnection&) = delete;

  // Sends the banner, if any, and starts reading requests.
  void Start();
  // Closes the socket; idempotent.
  void Close();
  bool IsOpen() const { return socket.is_open(); }

 private:
  void ReadRequest();
  void OnLine(size_t length);
  // Writes `text`, then reads the next request.
  void Reply(std::string text);
  // The answer to `request` (not empty), which took `received` bytes on the wire.
  std::string Answer(const std::string& request, size_t received) const;

  asio::ip::tcp::socket socket;
  asio::streambuf input{kMaxRequestBytes};
  std::string output;             // the text being written
  const bool banner;              // greets with kUtilityBanner
  const std::string helpAnswer;   // the answer to "help"
  const RequestObserver observer;
};

}  // namespace tessamer::sim
