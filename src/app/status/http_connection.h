#pragma once
// One client connection of the status endpoint: reads request heads, hands each to the routes,
// writes the answers; or, once a route made it a stream, writes the stream's texts until it ends.
//
//              accept                        head complete            answer written
//   ──────────► ReadingHead ─────────────────► Writing ───────────────► Waiting ──first byte──┐
//               │ deadline: the whole head     │ deadline: the write     │ deadline: idle     │
//               │ (from accept, or from the    │                         │                    │
//               │  request's first byte)       │ route made a stream     ▼                    │
//               │                              └───────────────► Streaming ◄────────────────┐  │
//               ▼                                  queue bounded in bytes; a write that is  │  │
//          Closing: our side shut, the rest         not taken within the write deadline, or │  │
//          read until the peer closes or the        a queue over its bound: dropped; a      │  │
//          linger deadline ─► Closed                quiet stream sends its keep-alive text ──┘  │
//                                                                 ReadingHead ◄─────────────────┘
//
// A bad head is answered with its status and the connection closes; so does the answer to the
// last request a connection may carry (HttpServerSettings::maxRequestsPerConnection), and any
// answer a client asked to close after. One deadline timer serves every state.
//
// Threads: the server thread only (CHttpStream posts there). Owned by the connection manager
// while open; every pending handler holds the connection alive.

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include <asio.hpp>

#include "app/status/http_exchange.h"
#include "app/status/http_settings.h"
#include "app/status/request_parser.h"

namespace tessamer {

class CConnectionManager;

class CHttpConnection : public std::enable_shared_from_this<CHttpConnection> {
 public:
  using Clock = std::chrono::steady_clock;

  // Every reference must outlive the connection's handlers (the server's).
  CHttpConnection(asio::ip::tcp::socket socket, CConnectionManager& manager, IHttpRoutes& routes,
                  const HttpServerSettings& settings, HttpServerCounters& counters);
  CHttpConnection(const CHttpConnection&) = delete;
  CHttpConnection& operator=(const CHttpConnection&) = delete;

  // Starts reading the first request; its head deadline runs from now.
  void Start();
  // Closes the socket at once; no handler of this connection does anything after it.
  void Close();
  // True while no request is in progress: waiting for one, or reading its head.
  bool Idle() const { return state == State::Waiting || state == State::ReadingHead; }
  Clock::time_point IdleSince() const { return idleSince; }

  // For CHttpReply and CHttpStream.
  void Respond(HttpResponse response, bool headOnly);
  std::shared_ptr<CHttpStream> BeginStream(HttpResponse head, std::string keepAliveText);
  std::shared_ptr<CHttpStream> BeginLaterStream(bool headOnly);
  // `paced`: a text of CHttpStream::Write, which waits for room itself: never dropped for size.
  void QueueStreamText(std::shared_ptr<const std::string> text, bool paced);
  void EndStream();

 private:
  enum class State { Waiting, ReadingHead, Writing, Streaming, Closing, Closed };
  using Text = std::shared_ptr<const std::string>;
  struct Queued {
    Text text;
    bool paced = false;
  };

  bool OpenStream(std::string quietText);

  void Read();
  void OnRead(const asio::error_code& failure, size_t count);
  void Consume();
  void Dispatch(const HttpRequest& request);
  void OnResponseWritten(const asio::error_code& failure);
  void EnterWaiting();
  void WriteQueued();
  void OnStreamWritten(const asio::error_code& failure, size_t texts);
  void Finish();
  void ArmDeadline(Clock::time_point when);
  void OnDeadline();
  void OnStreamTick();

  asio::ip::tcp::socket socket;
  asio::steady_timer deadline;
  CConnectionManager& manager;
  IHttpRoutes& routes;
  const HttpServerSettings& settings;
  HttpServerCounters& counters;
  State state = State::ReadingHead;
  Clock::time_point idleSince;             // when it last entered Waiting or ReadingHead
  CRequestParser parser;
  std::array<char, 4096> readBuffer{};
  bool reading = false;                    // a read is outstanding
  std::string unparsed;                    // received bytes not yet given to the parser
  int requests = 0;                        // requests dispatched on this connection
  bool keepAlive = false;                  // of the answer being written
  std::string outHead;                     // the answer being written: its head
  Text outBody;                            // ... and its body
  std::shared_ptr<CHttpStream> stream;     // while Streaming
  std::deque<Queued> queue;                // the stream's texts not yet written, the one being
                                           // written at the front
  size_t queuedBytes = 0;
  bool writing = false;                    // a stream write is outstanding
  Clock::time_point writeStarted;
  bool wroteSinceTick = false;
  bool ending = false;                     // End: close once the queue is empty
  std::string keepAliveText;
};

}  // namespace tessamer
