#pragma once
// What a route of the status endpoint sees of one request: the request, a reply to answer it
// with at once (CHttpReply::Respond), or a stream whose body goes on after the route returned
// (CHttpReply::Stream, CHttpStream: the event stream), or a stream whose head and body come
// later from another thread (CHttpReply::StreamLater: a long download produced off the server's
// thread, paced by what the client takes).
//
// Threads: IHttpRoutes::Handle and CHttpReply on the server thread only. CHttpStream from any
// thread: its operations run at once on the server thread and are posted there from others.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "app/status/http_request.h"
#include "app/status/http_response.h"

namespace tessamer {

class CHttpConnection;
class CHttpStream;

// The answer to one request, given once by the route that handles it.
class CHttpReply {
 public:
  CHttpReply(const HttpRequest& request, CHttpConnection& connection) : request(request), connection(connection) {}
  CHttpReply(const CHttpReply&) = delete;
  CHttpReply& operator=(const CHttpReply&) = delete;

  const HttpRequest& Request() const { return request; }
  // A field every answer given through this reply carries (a cookie, say).
  void AddHeader(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
  // Answers with `response` (its head alone for HEAD).
  void Respond(HttpResponse response);
  // Answers with `head` and a body that goes on until the stream ends: texts handed to the
  // stream are written in order, at most the server's stream bound unsent; a client that falls
  // further behind is dropped. `keepAliveText` (may be empty) is written when the stream has
  // been quiet for the server's keep-alive interval. Null when no stream can be opened (too many
  // streams: answered 503; a HEAD request: answered with the head alone).
  std::shared_ptr<CHttpStream> Stream(HttpResponse head, std::string keepAliveText = {});
  // Answers later, from any thread: the stream's Begin writes the head (the head alone for a
  // HEAD request), Write the body, End finishes it. Null when no stream can be opened (answered
  // 503).
  std::shared_ptr<CHttpStream> StreamLater();
  bool Answered() const { return answered; }

 private:
  const HttpRequest& request;
  CHttpConnection& connection;
  std::vector<std::pair<std::string, std::string>> headers;  // added to the answer
  bool answered = false;
};

// The body of a streamed answer. Held by its producer; the connection marks it closed when it
// goes (the client left, fell behind, or the server stops).
class CHttpStream {
 public:
  // `pacedBound`: Write waits while this many of its bytes are unsent.
  CHttpStream(std::weak_ptr<CHttpConnection> connection, asio::any_io_executor executor, size_t pacedBound,
              bool headOnly = false)
      : connection(std::move(connection)), executor(std::move(executor)), pacedBound(pacedBound), headOnly(headOnly) {}
  CHttpStream(const CHttpStream&) = delete;
  CHttpStream& operator=(const CHttpStream&) = delete;

  // Queues `text` behind what was sent before, at once; a client that falls behind the stream
  // bound is dropped. False once the stream is closed.
  bool Send(std::shared_ptr<const std::string> text);
  // For a stream answered later (CHttpReply::StreamLater), once, before any text: the head, and
  // how the body ends. For a HEAD request the head alone is written and the stream ends.
  void Begin(const HttpResponse& head, BodyEnd end);
  // Queues `text` once the client has taken enough of what was written before: blocks the
  // calling thread (never the server's) while more than the paced bound is unsent. False once
  // the stream is closed (the client left or stalled past the write deadline, the server stops).
  bool Write(std::string text);
  // Ends the body once what is queued has been written, then closes the connection.
  void End();
  bool IsOpen() const { return open.load(); }
  bool HeadOnly() const { return headOnly; }
  // By the connection, on the server thread.
  void MarkClosed();
  void Written(size_t pacedBytes);  // bytes of Write's texts the client took

 private:
  void Post(std::shared_ptr<const std::string> text, bool paced);

  std::weak_ptr<CHttpConnection> connection;
  asio::any_io_executor executor;  // the server's
  const size_t pacedBound;
  const bool headOnly;
  std::atomic<bool> open{true};
  std::mutex pacing;
  std::condition_variable room;  // Written or closed
  size_t pacedUnsent = 0;        // guarded by pacing
};

// The routes of a server: every complete request that is a GET or a HEAD.
class IHttpRoutes {
 public:
  virtual ~IHttpRoutes() = default;
  // On the server thread; must answer through `reply` before it returns, and never block.
  virtual void Handle(CHttpReply& reply) = 0;
};

}  // namespace tessamer
