#pragma once
// What a route of the status endpoint sees of one request: the request, a reply to answer it
// with at once (CHttpReply::Respond), or a stream whose body goes on after the route returned
// (CHttpReply::Stream, CHttpStream: the event stream; later a long download fed from a thread of
// its own).
//
// Threads: IHttpRoutes::Handle and CHttpReply on the server thread only. CHttpStream from any
// thread: its operations run at once on the server thread and are posted there from others.

#include <atomic>
#include <memory>
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
  CHttpStream(std::weak_ptr<CHttpConnection> connection, asio::any_io_executor executor)
      : connection(std::move(connection)), executor(std::move(executor)) {}
  CHttpStream(const CHttpStream&) = delete;
  CHttpStream& operator=(const CHttpStream&) = delete;

  // Queues `text` behind what was sent before; false once the stream is closed.
  bool Send(std::shared_ptr<const std::string> text);
  // Ends the body once what is queued has been written, then closes the connection.
  void End();
  bool IsOpen() const { return open.load(); }
  void MarkClosed() { open = false; }  // by the connection, on the server thread

 private:
  std::weak_ptr<CHttpConnection> connection;
  asio::any_io_executor executor;  // the server's
  std::atomic<bool> open{true};
};

// The routes of a server: every complete request that is a GET or a HEAD.
class IHttpRoutes {
 public:
  virtual ~IHttpRoutes() = default;
  // On the server thread; must answer through `reply` before it returns, and never block.
  virtual void Handle(CHttpReply& reply) = 0;
};

}  // namespace tessamer
