#include "testkit/fake_box.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <system_error>
#include <utility>

namespace tessamer::testkit {

uint32_t NetworkAddress(const std::string& dotted) {
  const auto bytes = asio::ip::make_address_v4(dotted).to_bytes();
  uint32_t address = 0;
  std::memcpy(&address, bytes.data(), sizeof address);
  return address;
}

std::string Acknowledge(const std::string& line) {
  return "Extended Command done " + std::to_string(line.size()) + "\r\nDone\r\n";
}

FakeBoxScript PlayAll(std::string text, bool closeAfter) {
  return FakeBoxScript{{FakeBoxStep{std::move(text), 0ms}}, closeAfter};
}

FakeBoxScript PlayInChunks(std::string_view text, size_t chunkSize,
                           std::chrono::milliseconds pause, bool closeAfter) {
  FakeBoxScript script{{}, closeAfter};
  if (chunkSize == 0) chunkSize = 1;
  for (size_t at = 0; at < text.size(); at += chunkSize) {
    script.steps.push_back({std::string(text.substr(at, chunkSize)), at == 0 ? 0ms : pause});
  }
  return script;
}

FakeBoxScript PlaySplitAt(std::string_view text, const std::vector<size_t>& cuts,
                          std::chrono::milliseconds pause, bool closeAfter) {
  std::vector<size_t> ends(cuts);
  std::sort(ends.begin(), ends.end());
  ends.push_back(text.size());
  FakeBoxScript script{{}, closeAfter};
  size_t from = 0;
  for (size_t end : ends) {
    end = std::min(end, text.size());
    if (end <= from) continue;
    script.steps.push_back({std::string(text.substr(from, end - from)), from == 0 ? 0ms : pause});
    from = end;
  }
  return script;
}

// One accepted connection: plays its queue of texts in order and reads until the peer or the
// box closes. Runs on the box thread only.
class FakeBox::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(FakeBox& box, asio::ip::tcp::socket socket) : box(box), socket(std::move(socket)) {}

  void Start(const FakeBoxScript& script) {
    for (const auto& step : script.steps) Queue(step.text, step.pause, false);
    if (script.closeAfter) Queue({}, 0ms, true);
    Read();
  }

  void Queue(std::string text, std::chrono::milliseconds pause, bool closeHere) {
    pending.push_back({std::move(text), pause, closeHere});
    Next();
  }

  void Close() {
    if (closed) return;
    closed = true;
    std::error_code ignored;
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
    timer.cancel();
    box.SessionEnded(this);
  }

 private:
  struct Pending {
    std::string text;
    std::chrono::milliseconds pause;
    bool closeHere;
  };

  void Read() {
    socket.async_read_some(asio::buffer(buffer),
                           [self = shared_from_this()](const std::error_code& failure, size_t n) {
                             if (self->closed) return;
                             if (failure) {
                               self->Close();
                               return;
                             }
                             self->box.AddReceived(std::string_view(self->buffer, n));
                             self->Read();
                           });
  }

  void Next() {
    if (busy || closed || pending.empty()) return;
    busy = true;
    if (pending.front().pause > 0ms) {
      timer.expires_after(pending.front().pause);
      timer.async_wait([self = shared_from_this()](const std::error_code& failure) {
        if (failure || self->closed) return;
        self->WriteFront();
      });
    } else {
      WriteFront();
    }
  }

  void WriteFront() {
    if (pending.front().closeHere) {
      Close();
      return;
    }
    asio::async_write(socket, asio::buffer(pending.front().text),
                      [self = shared_from_this()](const std::error_code& failure, size_t) {
                        if (self->closed) return;
                        if (failure) {
                          self->Close();
                          return;
                        }
                        self->pending.pop_front();
                        self->busy = false;
                        self->Next();
                      });
  }

  FakeBox& box;
  asio::ip::tcp::socket socket;
  asio::steady_timer timer{socket.get_executor()};
  std::deque<Pending> pending;  // front: being written or waited for
  bool busy = false;
  bool closed = false;
  char buffer[4096];
};

// One accepted utility connection: greets, then answers each request line in turn until either
// side closes. Runs on the box thread only.
class FakeBox::UtilitySession : public std::enable_shared_from_this<UtilitySession> {
 public:
  UtilitySession(FakeBox& box, asio::ip::tcp::socket socket) : box(box), socket(std::move(socket)) {}

  void Start(std::string banner) {
    if (banner.empty()) return ReadLine();
    Write(std::move(banner));
  }

  void Close() {
    if (closed) return;
    closed = true;
    std::error_code ignored;
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
    box.UtilitySessionEnded(this);
  }

 private:
  void ReadLine() {
    asio::async_read_until(socket, input, '\n',
                           [self = shared_from_this()](const std::error_code& failure, size_t n) {
                             if (self->closed) return;
                             if (failure) return self->Close();
                             const auto begin = asio::buffers_begin(self->input.data());
                             std::string line(begin, begin + static_cast<std::ptrdiff_t>(n));
                             self->input.consume(n);
                             std::string answer = self->box.Answer(line);
                             self->box.AnswerWhenAllowed([self, answer = std::move(answer)] {
                               if (!self->closed) self->Reply(answer);
                             });
                           });
  }

  void Reply(std::string answer) {
    if (answer.empty()) return ReadLine();
    if (answer == kCloseConnection) return Close();
    Write(std::move(answer));
  }

  void Write(std::string text) {
    auto held = std::make_shared<std::string>(std::move(text));
    asio::async_write(socket, asio::buffer(*held),
                      [self = shared_from_this(), held](const std::error_code& failure, size_t) {
                        if (self->closed) return;
                        if (failure) return self->Close();
                        self->ReadLine();
                      });
  }

  FakeBox& box;
  asio::ip::tcp::socket socket;
  asio::streambuf input;
  bool closed = false;
};

FakeBox::FakeBox(std::string address, uint16_t port, uint16_t utilityPort)
    : address(std::move(address)), port(port) {
  OpenAcceptor(true);
  const asio::ip::tcp::endpoint utility(asio::ip::make_address(this->address), utilityPort);
  utilityAcceptor.open(utility.protocol());
  utilityAcceptor.bind(utility);
  utilityAcceptor.listen();
  this->utilityPort = utilityAcceptor.local_endpoint().port();
  AcceptUtility();
  thread = std::thread([this] { context.run(); });
}

FakeBox::~FakeBox() {
  RunOnBoxThread([this] {
    std::error_code ignored;
    acceptor.close(ignored);
    utilityAcceptor.close(ignored);
    heldAnswers.clear();
    for (auto& session : std::vector(sessions)) session->Close();
    for (auto& session : std::vector(utilitySessions)) session->Close();
  });
  work.reset();
  thread.join();
}

void FakeBox::RunOnBoxThread(const std::function<void()>& job) {
  if (thread.get_id() == std::this_thread::get_id() || !thread.joinable()) {
    job();
    return;
  }
  std::promise<void> finished;
  asio::post(context, [&] {
    job();
    finished.set_value();
  });
  finished.get_future().wait();
}

void FakeBox::OpenAcceptor(bool listen) {
  std::error_code ignored;
  acceptor.close(ignored);
  ++acceptorGeneration;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address), port);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(asio::socket_base::reuse_address(true));
  BindAgain(endpoint);
  port = acceptor.local_endpoint().port();
  if (!listen) return;
  acceptor.listen();
  Accept();
}

// Wine lets go of a closed listening socket's port only once the accept it had pending has
// ended, a moment after the close: binding the same port again waits for that, with a bound.
void FakeBox::BindAgain(const asio::ip::tcp::endpoint& endpoint) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    std::error_code error;
    acceptor.bind(endpoint, error);
    if (!error) return;
    const bool taken = error == asio::error::access_denied || error == asio::error::address_in_use;
    if (endpoint.port() == 0 || !taken || std::chrono::steady_clock::now() >= deadline) {
      throw std::system_error(error, "bind");
    }
    std::this_thread::sleep_for(20ms);
  }
}

void FakeBox::Accept() {
  acceptor.async_accept([this, generation = acceptorGeneration](const std::error_code& failure,
                                                                asio::ip::tcp::socket socket) {
    if (generation != acceptorGeneration || !acceptor.is_open()) return;
    if (!failure) {
      FakeBoxScript script;
      {
        std::lock_guard guard(mutex);
        if (!scripts.empty()) script = scripts[std::min(accepted, scripts.size() - 1)];
        ++accepted;
        ++open;
      }
      changed.notify_all();
      auto session = std::make_shared<Session>(*this, std::move(socket));
      sessions.push_back(session);
      session->Start(script);
    }
    Accept();
  });
}

void FakeBox::SessionEnded(Session* session) {
  std::erase_if(sessions, [session](const auto& s) { return s.get() == session; });
  {
    std::lock_guard guard(mutex);
    --open;
  }
  changed.notify_all();
}

void FakeBox::AddReceived(std::string_view bytes) {
  {
    std::lock_guard guard(mutex);
    received.append(bytes);
  }
  changed.notify_all();
}

void FakeBox::SetScripts(std::vector<FakeBoxScript> newScripts) {
  std::lock_guard guard(mutex);
  scripts = std::move(newScripts);
}

void FakeBox::Send(std::string text) {
  RunOnBoxThread([this, &text] {
    for (auto& session : std::vector(sessions)) session->Queue(text, 0ms, false);
  });
}

void FakeBox::CloseConnections() {
  RunOnBoxThread([this] {
    for (auto& session : std::vector(sessions)) session->Close();
  });
}

void FakeBox::StopListening() {
  RunOnBoxThread([this] {
    std::error_code ignored;
    acceptor.close(ignored);
    ++acceptorGeneration;
  });
}

void FakeBox::Refuse() {
  RunOnBoxThread([this] { OpenAcceptor(false); });
}

void FakeBox::Listen() {
  RunOnBoxThread([this] { OpenAcceptor(true); });
}

size_t FakeBox::Accepted() const {
  std::lock_guard guard(mutex);
  return accepted;
}

size_t FakeBox::OpenConnections() const {
  std::lock_guard guard(mutex);
  return open;
}

std::string FakeBox::Received() const {
  std::lock_guard guard(mutex);
  return received;
}

template <typename Condition>
bool FakeBox::WaitUntil(Condition condition, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(mutex);
  return changed.wait_for(guard, timeout, condition);
}

bool FakeBox::WaitForAccepted(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return accepted >= count; }, timeout);
}

bool FakeBox::WaitForOpenConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return open == count; }, timeout);
}

bool FakeBox::WaitForReceived(size_t bytes, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return received.size() >= bytes; }, timeout);
}

void FakeBox::AcceptUtility() {
  utilityAcceptor.async_accept([this](const std::error_code& failure, asio::ip::tcp::socket socket) {
    if (!utilityAcceptor.is_open()) return;
    if (!failure) {
      std::string banner;
      {
        std::lock_guard guard(mutex);
        ++utilityConnections;
        banner = utilityBanner;
      }
      changed.notify_all();
      auto session = std::make_shared<UtilitySession>(*this, std::move(socket));
      utilitySessions.push_back(session);
      session->Start(std::move(banner));
    }
    AcceptUtility();
  });
}

std::string FakeBox::Answer(const std::string& line) {
  Responder current;
  {
    std::lock_guard guard(mutex);
    utilityLines.push_back(line);
    current = responder;
  }
  changed.notify_all();
  return current ? current(line) : std::string();
}

void FakeBox::UtilitySessionEnded(UtilitySession* session) {
  std::erase_if(utilitySessions, [session](const auto& s) { return s.get() == session; });
  {
    std::lock_guard guard(mutex);
    ++utilityDisconnections;
  }
  changed.notify_all();
}

void FakeBox::AnswerWhenAllowed(std::function<void()> send) {
  if (holdingAnswers) return heldAnswers.push_back(std::move(send));
  send();
}

void FakeBox::HoldUtilityAnswers() {
  RunOnBoxThread([this] { holdingAnswers = true; });
}

void FakeBox::ReleaseUtilityAnswers() {
  RunOnBoxThread([this] {
    holdingAnswers = false;
    std::vector<std::function<void()>> held;
    held.swap(heldAnswers);
    for (auto& send : held) send();
  });
}

void FakeBox::SetUtilityBanner(std::string banner) {
  std::lock_guard guard(mutex);
  utilityBanner = std::move(banner);
}

void FakeBox::SetUtilityResponder(Responder value) {
  std::lock_guard guard(mutex);
  responder = std::move(value);
}

std::vector<std::string> FakeBox::UtilityLines() const {
  std::lock_guard guard(mutex);
  return utilityLines;
}

size_t FakeBox::UtilityConnections() const {
  std::lock_guard guard(mutex);
  return utilityConnections;
}

size_t FakeBox::UtilityDisconnections() const {
  std::lock_guard guard(mutex);
  return utilityDisconnections;
}

bool FakeBox::WaitForUtilityLines(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return utilityLines.size() >= count; }, timeout);
}

bool FakeBox::WaitForUtilityConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return utilityConnections >= count; }, timeout);
}

bool FakeBox::WaitForUtilityDisconnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return utilityDisconnections >= count; }, timeout);
}

UnansweredPort::UnansweredPort(const std::string& address) {
  acceptor.open(asio::ip::tcp::v4());
  acceptor.bind(asio::ip::tcp::endpoint(asio::ip::make_address(address), 0));
  acceptor.listen(0);
  port = acceptor.local_endpoint().port();
  filler.connect(acceptor.local_endpoint());
}

}  // namespace tessamer::testkit
