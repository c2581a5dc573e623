#pragma once
// One setpoint utility's connection to the utility server: the greeting, the reading of request
// lines under their deadlines, and the sending of each reply.
//
//   Greeting ─> Reading ─ a complete line ─> Waiting (at the request executor) ─> Replying ─┐
//                  ▲                                                                       │
//                  └───────────────────────────────────────────────────────────────────────┘
//   any state ─ empty line, deadline, read or send failure, Stop ─> Ended
//
// Deadlines: while Reading, the first byte of a line must come within the idle time and the whole
// line within the line time of that first byte (later bytes do not extend it); the greeting and a
// reply must be taken by the utility within the idle time. A time of 0 or less means no limit.
// While a request waits or runs, nothing more is read: replies go back in request order and a
// session never holds more than one read chunk and one line.
//
// Threads: everything on the server thread (the io_context the socket belongs to); the owner's
// callbacks are made there too.

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace tessamer {

inline constexpr size_t kUtilityRequestBuffer = 256;  // at most 255 characters of a request
inline constexpr size_t kUtilityReadChunk = 512;      // bytes taken from the socket at a time
inline constexpr std::string_view kUtilityGreeting = "Vellumetric-VMC: connected\r\n";

class CUtilitySession;

// What a session needs of its server. Threads: the server thread.
class IUtilitySessionOwner {
 public:
  virtual ~IUtilitySessionOwner() = default;
  // A complete, non-empty request line (at most 255 characters, without its line end). The owner
  // answers with `session->Replied(reply)` on the server thread.
  virtual void SubmitRequest(std::shared_ptr<CUtilitySession> session, std::string request) = 0;
  // The session has ended; called once, also for a refused one.
  virtual void SessionEnded(const std::shared_ptr<CUtilitySession>& session) = 0;
};

class CUtilitySession : public std::enable_shared_from_this<CUtilitySession> {
 public:
  // `socket` is an accepted connection; `owner` must outlive every handler of the socket's
  // io_context.
  CUtilitySession(asio::ip::tcp::socket socket, IUtilitySessionOwner& owner,
                  std::chrono::milliseconds idleTimeout, std::chrono::milliseconds lineTimeout);
  CUtilitySession(const CUtilitySession&) = delete;
  CUtilitySession& operator=(const CUtilitySession&) = delete;

  // Greets, then reads request lines until the exchange ends.
  void Start();
  // Greets and closes: the server has no room for another utility.
  void Refuse();
  // The answer to the submitted request: sends it (nothing when empty), then reads the next line.
  void Replied(std::string reply);
  // Closes the connection at once. Nothing when already ended.
  void Stop();

 private:
  enum class State { Greeting, Reading, Waiting, Replying, Ended };

  void Send(std::string_view bytes, void (CUtilitySession::*next)());
  void ReadNextLine();
  void ReceiveMore();
  bool TakeLine();  // scans the received bytes into `line`; true once the line is complete
  void OnLine();
  void ArmDeadline(std::chrono::milliseconds timeout);
  void DisarmDeadline();
  void End();

  asio::ip::tcp::socket socket;
  asio::steady_timer deadline;  // the idle, line or send deadline of the step in progress
  IUtilitySessionOwner& owner;
  std::chrono::milliseconds idleTimeout;
  std::chrono::milliseconds lineTimeout;
  State state = State::Greeting;
  std::array<char, kUtilityReadChunk> chunk{};  // received bytes, [chunkPos, chunkEnd) unscanned
  size_t chunkPos = 0;
  size_t chunkEnd = 0;
  std::string line;          // the request line being collected, at most 255 characters kept
  bool lineStarted = false;  // a byte of the line has arrived: the line deadline runs
  std::string reply;         // the reply being sent
};

}  // namespace tessamer
