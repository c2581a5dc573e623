#include "app/status/http_connection.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "app/status/connection_manager.h"

namespace tessamer {
namespace {

constexpr size_t kTextsPerWrite = 16;  // a stream's queued texts gathered into one write
constexpr int kMethodNotAllowed = 405;
constexpr int kServerError = 500;
constexpr int kUnavailable = 503;
constexpr const char* kStreamRetryAfterSeconds = "5";

}  // namespace

CHttpConnection::CHttpConnection(asio::ip::tcp::socket socket, CConnectionManager& manager, IHttpRoutes& routes,
                                 const HttpServerSettings& settings, HttpServerCounters& counters)
    : socket(std::move(socket)),
      deadline(this->socket.get_executor()),
      manager(manager),
      routes(routes),
      settings(settings),
      counters(counters),
      parser(settings.maxHeadBytes) {}

void CHttpConnection::Start() {
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);  // answers go out whole, at once
  state = State::ReadingHead;
  idleSince = Clock::now();
  ArmDeadline(idleSince + settings.headDeadline);
  Read();
}

void CHttpConnection::Close() {
  if (state == State::Closed) return;
  const auto self = shared_from_this();  // the manager's reference may be the last
  if (state == State::Streaming) {
    manager.StreamEnded();
    stream->MarkClosed();
  }
  state = State::Closed;
  asio::error_code ignored;
  deadline.cancel();
  socket.close(ignored);
  queue.clear();
  manager.Remove(this);
}

void CHttpConnection::Read() {
  if (reading || state == State::Closed) return;
  reading = true;
  socket.async_read_some(asio::buffer(readBuffer), [self = shared_from_this()](const asio::error_code& failure,
                                                                                size_t count) {
    self->OnRead(failure, count);
  });
}

void CHttpConnection::OnRead(const asio::error_code& failure, size_t count) {
  reading = false;
  if (state == State::Closed) return;
  if (failure) {  // the peer closed or the connection failed: nothing more to answer
    Close();
    return;
  }
  if (state == State::Streaming || state == State::Closing) {  // read only to see the peer go
    Read();
    return;
  }
  unparsed.append(readBuffer.data(), count);
  Consume();
}

void CHttpConnection::Consume() {
  while (state == State::Waiting || state == State::ReadingHead) {
    if (unparsed.empty()) {
      Read();
      return;
    }
    size_t consumed = 0;
    const CRequestParser::Result result = parser.Feed(unparsed, consumed);
    unparsed.erase(0, consumed);
    if (state == State::Waiting && parser.Started()) {
      state = State::ReadingHead;
      ArmDeadline(Clock::now() + settings.headDeadline);
    }
    if (result == CRequestParser::Result::Bad) {
      keepAlive = false;
      Respond(EmptyResponse(parser.Status()), false);
      return;
    }
    if (result == CRequestParser::Result::Complete) {
      Dispatch(parser.Request());
      return;
    }
  }
}

void CHttpConnection::Dispatch(const HttpRequest& request) {
  ++requests;
  keepAlive = request.KeepAlive() && requests < settings.maxRequestsPerConnection;
  state = State::Writing;
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse refusal = EmptyResponse(kMethodNotAllowed);
    refusal.headers.emplace_back("Allow", "GET, HEAD");
    Respond(std::move(refusal), false);
    return;
  }
  CHttpReply reply(request, *this);
  try {
    routes.Handle(reply);
  } catch (const std::exception&) {
    // Answered below; a route that failed halfway answers nothing else.
  }
  if (!reply.Answered()) Respond(EmptyResponse(kServerError), request.method == "HEAD");
}

void CHttpConnection::Respond(HttpResponse response, bool headOnly) {
  if (state == State::Closed) return;
  state = State::Writing;
  outHead = ResponseHead(response, BodyEnd::Length, keepAlive);
  outBody = headOnly ? nullptr : std::move(response.body);
  const std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(outHead), outBody ? asio::buffer(*outBody) : asio::const_buffer()};
  ArmDeadline(Clock::now() + settings.writeDeadline);
  asio::async_write(socket, buffers, [self = shared_from_this()](const asio::error_code& failure, size_t) {
    self->OnResponseWritten(failure);
  });
}

void CHttpConnection::OnResponseWritten(const asio::error_code& failure) {
  if (state == State::Closed) return;
  outBody.reset();
  if (failure) {
    Close();
  } else if (keepAlive) {
    EnterWaiting();
  } else {
    Finish();
  }
}

void CHttpConnection::EnterWaiting() {
  parser.Reset();
  state = State::Waiting;
  idleSince = Clock::now();
  ArmDeadline(idleSince + settings.idleDeadline);
  Consume();  // a request sent behind the last one
}

bool CHttpConnection::OpenStream(std::string quietText) {
  if (state == State::Closed) return false;
  if (!manager.AddStream()) {
    HttpResponse busy = EmptyResponse(kUnavailable);
    busy.headers.emplace_back("Retry-After", kStreamRetryAfterSeconds);
    Respond(std::move(busy), false);
    return false;
  }
  state = State::Streaming;
  keepAliveText = std::move(quietText);
  unparsed.clear();
  Read();
  ArmDeadline(Clock::now() + std::min(settings.streamKeepAlive, settings.writeDeadline));
  return true;
}

std::shared_ptr<CHttpStream> CHttpConnection::BeginStream(HttpResponse head, std::string quietText) {
  if (!OpenStream(std::move(quietText))) return nullptr;
  stream = std::make_shared<CHttpStream>(weak_from_this(), socket.get_executor(), settings.streamQueueBytes / 2);
  QueueStreamText(std::make_shared<const std::string>(ResponseHead(head, BodyEnd::Close, false)), false);
  return stream;
}

std::shared_ptr<CHttpStream> CHttpConnection::BeginLaterStream(bool headOnly) {
  if (!OpenStream({})) return nullptr;
  stream = std::make_shared<CHttpStream>(weak_from_this(), socket.get_executor(), settings.streamQueueBytes / 2,
                                         headOnly);
  return stream;
}

void CHttpConnection::QueueStreamText(std::shared_ptr<const std::string> text, bool paced) {
  if (state != State::Streaming || ending || !text) return;
  if (!paced && queuedBytes + text->size() > settings.streamQueueBytes) {
    ++counters.streamsDropped;  // a client that stopped reading
    Close();
    return;
  }
  queuedBytes += text->size();
  queue.push_back({std::move(text), paced});
  WriteQueued();
}

void CHttpConnection::EndStream() {
  if (state != State::Streaming) return;
  ending = true;
  if (!writing && queue.empty()) Finish();
}

void CHttpConnection::WriteQueued() {
  if (writing || queue.empty() || state != State::Streaming) return;
  std::vector<asio::const_buffer> buffers;
  const size_t count = std::min(queue.size(), kTextsPerWrite);
  buffers.reserve(count);
  for (size_t i = 0; i < count; ++i) buffers.push_back(asio::buffer(*queue[i].text));
  writing = true;
  wroteSinceTick = true;
  writeStarted = Clock::now();
  asio::async_write(socket, buffers, [self = shared_from_this(), count](const asio::error_code& failure, size_t) {
    self->OnStreamWritten(failure, count);
  });
}

void CHttpConnection::OnStreamWritten(const asio::error_code& failure, size_t texts) {
  writing = false;
  if (state == State::Closed) return;
  if (failure) {
    Close();
    return;
  }
  size_t paced = 0;
  for (size_t i = 0; i < texts && !queue.empty(); ++i) {
    queuedBytes -= queue.front().text->size();
    if (queue.front().paced) paced += queue.front().text->size();
    queue.pop_front();
  }
  if (paced > 0) stream->Written(paced);
  if (ending && queue.empty()) {
    Finish();
    return;
  }
  WriteQueued();
}

void CHttpConnection::Finish() {
  if (state == State::Closed || state == State::Closing) return;
  if (state == State::Streaming) {
    manager.StreamEnded();
    stream->MarkClosed();
  }
  state = State::Closing;
  asio::error_code ignored;
  socket.shutdown(asio::socket_base::shutdown_send, ignored);
  ArmDeadline(Clock::now() + settings.closeLinger);
  Read();  // until the peer closes too, so that our last bytes are not lost to a reset
}

void CHttpConnection::ArmDeadline(Clock::time_point when) {
  deadline.expires_at(when);
  deadline.async_wait([self = shared_from_this()](const asio::error_code& failure) {
    if (!failure) self->OnDeadline();
  });
}

void CHttpConnection::OnDeadline() {
  if (state == State::Closed || deadline.expiry() > Clock::now()) return;  // closed, or re-armed since
  switch (state) {
    case State::Streaming:
      OnStreamTick();
      return;
    case State::Closing:
      Close();
      return;
    default:
      ++counters.timedOut;
      Close();
      return;
  }
}

void CHttpConnection::OnStreamTick() {
  const Clock::time_point now = Clock::now();
  if (writing && now - writeStarted >= settings.writeDeadline) {
    ++counters.streamsDropped;  // the client takes nothing
    Close();
    return;
  }
  if (!wroteSinceTick && !keepAliveText.empty()) {
    QueueStreamText(std::make_shared<const std::string>(keepAliveText), false);
    if (state != State::Streaming) return;
  }
  wroteSinceTick = false;
  ArmDeadline(now + std::min(settings.streamKeepAlive, settings.writeDeadline));
}

void CHttpReply::Respond(HttpResponse response) {
  answered = true;
  response.headers.insert(response.headers.end(), headers.begin(), headers.end());
  connection.Respond(std::move(response), request.method == "HEAD");
}

std::shared_ptr<CHttpStream> CHttpReply::Stream(HttpResponse head, std::string keepAliveText) {
  answered = true;
  head.headers.insert(head.headers.end(), headers.begin(), headers.end());
  if (request.method == "HEAD") {
    connection.Respond(std::move(head), true);
    return nullptr;
  }
  return connection.BeginStream(std::move(head), std::move(keepAliveText));
}

std::shared_ptr<CHttpStream> CHttpReply::StreamLater() {
  answered = true;
  return connection.BeginLaterStream(request.method == "HEAD");
}

bool CHttpStream::Send(std::shared_ptr<const std::string> text) {
  if (!open) return false;
  Post(std::move(text), false);
  return true;
}

void CHttpStream::Begin(const HttpResponse& head, BodyEnd end) {
  Post(std::make_shared<const std::string>(ResponseHead(head, end, false)), false);
  if (headOnly) End();
}

bool CHttpStream::Write(std::string text) {
  if (headOnly) return false;
  const size_t size = text.size();
  {
    std::unique_lock<std::mutex> held(pacing);
    room.wait(held, [this] { return !open || pacedUnsent < pacedBound; });
    if (!open) return false;
    pacedUnsent += size;
  }
  Post(std::make_shared<const std::string>(std::move(text)), true);
  return true;
}

void CHttpStream::Post(std::shared_ptr<const std::string> text, bool paced) {
  asio::dispatch(executor, [weak = connection, text = std::move(text), paced]() mutable {
    if (auto live = weak.lock()) live->QueueStreamText(std::move(text), paced);
  });
}

void CHttpStream::MarkClosed() {
  {
    const std::lock_guard<std::mutex> held(pacing);
    open = false;
  }
  room.notify_all();
}

void CHttpStream::Written(size_t pacedBytes) {
  {
    const std::lock_guard<std::mutex> held(pacing);
    pacedUnsent -= std::min(pacedBytes, pacedUnsent);
  }
  room.notify_all();
}

void CHttpStream::End() {
  if (!open) return;
  asio::dispatch(executor, [weak = connection] {
    if (auto live = weak.lock()) live->EndStream();
  });
}

}  // namespace tessamer
