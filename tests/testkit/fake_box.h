#pragma once
// A logger box stand-in for tests, benchmarks and tools, on a loopback address, with the box's two
// ports:
// - the data port plays a given text to every connection it accepts, at a given pace, and records
//   what it receives. It can drop its connections, stop listening, refuse (a bound port that does
//   not listen) and listen again on the same port, or stay silent (an empty script);
// - the utility port greets each connection with a banner, then hands each request line (line end
//   included) to a responder and sends back what it returns (by default the box's acknowledgement);
//   it can hold its answers back (a box that does not answer) and send them later.
//
// Threads: the box runs one thread of its own for all socket work, the responder included (a
// responder that blocks holds up the whole box); every public operation may be called from any
// other thread (not from the responder). The operations that change the box's state return once
// the change has been made.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <asio.hpp>

namespace tessamer::testkit {

using namespace std::chrono_literals;

// What a box's utility port sends first.
inline constexpr const char* kBoxBanner = "Vellumetric-VMC: VM-400 utility port\r\n";
// A responder's answer that makes the box close the utility connection instead of answering.
inline const std::string kCloseConnection = "\x04close";

// The IPv4 address of a dotted text in network byte order (its bytes are the dotted parts).
uint32_t NetworkAddress(const std::string& dotted);
// The acknowledgement a box gives for a utility request `line` (the request with its line end).
std::string Acknowledge(const std::string& line);

// One piece of a script: wait `pause`, then send `text`.
struct FakeBoxStep {
  std::string text;
  std::chrono::milliseconds pause{0};
};

// What one connection is played.
struct FakeBoxScript {
  std::vector<FakeBoxStep> steps;  // empty: the box stays silent
  bool closeAfter = false;         // close the connection once every step has been sent
};

// Scripts built from one text.
FakeBoxScript PlayAll(std::string text, bool closeAfter = false);
// `text` cut into pieces of `chunkSize` bytes with `pause` before each piece after the first.
FakeBoxScript PlayInChunks(std::string_view text, size_t chunkSize,
                           std::chrono::milliseconds pause, bool closeAfter = false);
// `text` cut at the given byte offsets (mid-line cuts included), `pause` before each later piece.
FakeBoxScript PlaySplitAt(std::string_view text, const std::vector<size_t>& cuts,
                          std::chrono::milliseconds pause, bool closeAfter = false);

class FakeBox {
 public:
  using Responder = std::function<std::string(const std::string& line)>;

  // Listens on `address` (a 127.0.0.x address): the data port on `port` (0: any free port, see
  // Port()), the utility port on `utilityPort` (0: any free port, see UtilityPort()); boxes on
  // different addresses may share port numbers, as real boxes do.
  explicit FakeBox(std::string address = "127.0.0.1", uint16_t port = 0,
                   uint16_t utilityPort = 0);
  ~FakeBox();
  FakeBox(const FakeBox&) = delete;
  FakeBox& operator=(const FakeBox&) = delete;

  const std::string& Address() const { return address; }
  uint16_t Port() const { return port; }

  // Connection i (counted from 0) is played scripts[i], or the last script once they run out.
  // Applies to connections accepted after the call. The default is silence.
  void SetScripts(std::vector<FakeBoxScript> scripts);
  void SetScript(FakeBoxScript script) { SetScripts({std::move(script)}); }

  // Sends `text` to every open connection after whatever it is still being played.
  void Send(std::string text);
  // Closes every open connection (the box drops off the network); listening goes on.
  void CloseConnections();
  // Closes the listening socket: new connections are refused while the port is unused.
  void StopListening();
  // Keeps the port bound without listening: every connect is refused at once.
  void Refuse();
  // Listens again on the same port.
  void Listen();

  size_t Accepted() const;      // connections accepted so far
  size_t OpenConnections() const;
  std::string Received() const;  // every byte received, from every connection, in order

  // Bounded waits; true when the condition held in time.
  bool WaitForAccepted(size_t count, std::chrono::milliseconds timeout = 10s) const;
  bool WaitForOpenConnections(size_t count, std::chrono::milliseconds timeout = 10s) const;
  bool WaitForReceived(size_t bytes, std::chrono::milliseconds timeout = 10s) const;

  // The utility port.
  uint16_t UtilityPort() const { return utilityPort; }
  // What utility connections accepted after the call are sent first (empty: nothing).
  void SetUtilityBanner(std::string banner);
  // Answers each later request line; an empty answer sends nothing, kCloseConnection closes.
  void SetUtilityResponder(Responder responder);
  // From now on request lines are still taken and recorded, but their answers are held back
  // (each connection then reads no further) until ReleaseUtilityAnswers sends them, in order.
  void HoldUtilityAnswers();
  void ReleaseUtilityAnswers();
  std::vector<std::string> UtilityLines() const;  // every request line, in arrival order
  size_t UtilityConnections() const;               // accepted so far
  size_t UtilityDisconnections() const;            // ended so far, by either side
  bool WaitForUtilityLines(size_t count, std::chrono::milliseconds timeout = 10s) const;
  bool WaitForUtilityConnections(size_t count, std::chrono::milliseconds timeout = 10s) const;
  bool WaitForUtilityDisconnections(size_t count, std::chrono::milliseconds timeout = 10s) const;

 private:
  class Session;
  friend class Session;
  class UtilitySession;
  friend class UtilitySession;

  void RunOnBoxThread(const std::function<void()>& job);
  void OpenAcceptor(bool listen);
  void BindAgain(const asio::ip::tcp::endpoint& endpoint);
  void Accept();
  void SessionEnded(Session* session);
  void AddReceived(std::string_view bytes);
  void AcceptUtility();
  std::string Answer(const std::string& line);  // records `line`, returns the responder's answer
  void UtilitySessionEnded(UtilitySession* session);
  void AnswerWhenAllowed(std::function<void()> send);  // box thread
  template <typename Condition>
  bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) const;

  std::string address;
  uint16_t port = 0;

  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  asio::ip::tcp::acceptor acceptor{context};
  std::vector<std::shared_ptr<Session>> sessions;  // box thread only
  uint64_t acceptorGeneration = 0;                 // box thread only; stale accepts ignore
  asio::ip::tcp::acceptor utilityAcceptor{context};
  uint16_t utilityPort = 0;
  std::vector<std::shared_ptr<UtilitySession>> utilitySessions;  // box thread only
  bool holdingAnswers = false;                     // box thread only
  std::vector<std::function<void()>> heldAnswers;  // box thread only, in arrival order
  std::thread thread;

  mutable std::mutex mutex;  // guards the fields below
  mutable std::condition_variable changed;
  std::vector<FakeBoxScript> scripts;
  size_t accepted = 0;
  size_t open = 0;
  std::string received;
  std::string utilityBanner = kBoxBanner;
  Responder responder = Acknowledge;
  std::vector<std::string> utilityLines;
  size_t utilityConnections = 0;
  size_t utilityDisconnections = 0;
};

// A loopback port whose connects neither complete nor fail: a listener with a zero backlog that
// never accepts, its queue filled by one connection of its own. For connect time-out tests.
class UnansweredPort {
 public:
  explicit UnansweredPort(const std::string& address = "127.0.0.1");
  uint16_t Port() const { return port; }

 private:
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor{context};
  asio::ip::tcp::socket filler{context};
  uint16_t port = 0;
};

}  // namespace tessamer::testkit
