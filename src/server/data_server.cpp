#include "server/data_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "server/client_link.h"
#include "server/client_processor.h"
#include "server/offset_processor.h"
#include "support/error_numbers.h"
#include "support/platform.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {

namespace {
// After an accept failed for want of resources (descriptors, buffers), the next one waits this
// long rather than failing again at once.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// A publication that wakes this many idle clients or more is shared out among the workers.
constexpr size_t kSendsPerShare = 16;
}  // namespace

// Threads: handlers run on the workers, each on the strand it belongs to (the acceptor's or a
// client's); the owner's thread calls Listen, BeginStop, WaitWorkers and CloseNotices. `errorLock`
// guards `error`; `noticeLock` guards `noticesOpen` and is held while a connection notice is
// posted and while a client's socket is closed, so that a socket number is reported closed before
// a new connection can reuse it; `runLock` guards `running`.
class CDataServer::Core : public IClientIo, public std::enable_shared_from_this<Core> {
 public:
  Core(uint16_t port, INoticeSink* window, std::string listenAddress, size_t queueLimit)
      : requestedPort(port),
        acceptStrand(asio::make_strand(io)),
        acceptor(acceptStrand),
        acceptRetry(acceptStrand),
        gatherStrand(asio::make_strand(io)),
        gatherTimer(gatherStrand),
        pool(*this, queueLimit),
        window(window),
        listenAddress(std::move(listenAddress)) {}
  ~Core() override { pool.Clear(); }

  bool Listen();
  void StartWorkers(std::vector<std::thread>& workers);
  void BeginStop();
  bool WaitWorkers(std::chrono::milliseconds wait);
  void CloseNotices();

  size_t SendNow(ClientContext& record, std::string_view bytes) override;
  void RequestSends(const std::vector<ClientContext*>& records) override;
  void RequestClose(ClientContext& record) override;
  void RequestStartHeld() override;

  asio::io_context io{kWorkerCount};
  CContextPool& Pool() { return pool; }
  ICommandRelay* relay = nullptr;  // set before the workers start
  std::atomic<uint16_t> boundPort{0};
  std::atomic<ViewerId> viewerCount{0};  // the last number given to a client
  uint16_t requestedPort;
  ErrorInfo LastError() const {
    std::lock_guard guard(errorLock);
    return error;
  }

 private:
  using Link = std::shared_ptr<ClientLink>;

  void Run();
  void PostAccept();
  void OnAccept(ClientContext& record, const Link& link, const asio::error_code& failure);
  void RetryAccept();
  void SetUpClient(ClientContext& record, const Link& link);
  void StartReceive(const Link& link, ClientContext& reader);
  void OnReceive(const Link& link, ClientContext& reader, const asio::error_code& failure,
                 size_t count);
  void RunSendStep(const Link& link, ClientContext& record);
  void CloseClient(const Link& link, bool abortive);
  void OnCommand(ViewerId viewer, const std::weak_ptr<ClientLink>& link, std::string line);
  void Notify(uintptr_t socketValue, bool connected, std::wstring peer = {});
  void RecordError(const asio::error_code& failure);

  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  asio::strand<asio::io_context::executor_type> acceptStrand;
  asio::ip::tcp::acceptor acceptor;  // acceptStrand only, once the workers run
  asio::steady_timer acceptRetry;    // acceptStrand only
  int acceptsToRetry = 0;            // acceptStrand only
  asio::strand<asio::io_context::executor_type> gatherStrand;
  asio::steady_timer gatherTimer;    // gatherStrand only
  CContextPool pool;                 // destroyed before the io_context its sockets use
  INoticeSink* window;
  std::mutex noticeLock;
  bool noticesOpen = true;
  mutable std::mutex errorLock;
  ErrorInfo error;
  std::string listenAddress;
  std::mutex runLock;
  std::condition_variable ended;
  int running = 0;
};

bool CDataServer::Core::Listen() {
  asio::error_code failure;
  const auto address = asio::ip::make_address(listenAddress, failure);
  const asio::ip::tcp::endpoint endpoint(address, requestedPort);
  if (!failure) acceptor.open(endpoint.protocol(), failure);
  // A port that another socket listens on is refused; a restarted hub listens again at once.
  if (!failure) ClaimListenPort(acceptor, failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(kListenBacklog, failure);
  if (!failure) boundPort = acceptor.local_endpoint(failure).port();
  if (failure) {
    RecordError(failure);
    asio::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  work.emplace(io.get_executor());
  for (int i = 0; i < kWorkerCount; ++i) PostAccept();
  return true;
}

void CDataServer::Core::StartWorkers(std::vector<std::thread>& workers) {
  {
    std::lock_guard guard(runLock);
    running = kWorkerCount;
  }
  for (int i = 0; i < kWorkerCount; ++i) {
    try {
      workers.emplace_back([self = shared_from_this()] { self->Run(); });
    } catch (const std::system_error& failure) {
      RecordError(failure.code());
      std::lock_guard guard(runLock);
      --running;
    }
  }
}

void CDataServer::Core::Run() {
  for (;;) {
    try {
      io.run();
      break;
    } catch (const std::exception& failure) {
      DiagnosticLog().WriteLine(L"Data server worker: " + Widen(failure.what()));
    }
  }
  {
    std::lock_guard guard(runLock);
    --running;
  }
  ended.notify_all();
}

void CDataServer::Core::BeginStop() {
  pool.SetStopping();
  asio::post(acceptStrand, [this] {
    asio::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
  });
  asio::post(gatherStrand, [this] { gatherTimer.cancel(); });
  for (const auto& link : pool.ConnectedLinks()) {
    asio::post(link->strand, [this, link] { CloseClient(link, true); });
  }
  work.reset();
}

bool CDataServer::Core::WaitWorkers(std::chrono::milliseconds wait) {
  std::unique_lock guard(runLock);
  return ended.wait_for(guard, wait, [this] { return running == 0; });
}

void CDataServer::Core::CloseNotices() {
  std::lock_guard guard(noticeLock);
  noticesOpen = false;
}

size_t CDataServer::Core::SendNow(ClientContext& record, std::string_view bytes) {
  // The record is connected (the pool's lock keeps it so, and keeps CloseClient from closing
  // the socket meanwhile) and idle (its processor's lock keeps the strand from sending): this
  // is the one send on the socket. The socket does not block (SetUpClient).
  asio::error_code failure;
  const size_t sent =
      record.link->socket.send(asio::buffer(bytes.data(), bytes.size()), 0, failure);
  return failure ? 0 : sent;
}

void CDataServer::Core::RequestSends(const std::vector<ClientContext*>& records) {
  // One handler per worker takes a share of the clients and runs their send steps in turn, each
  // on its client's strand (inline when that strand is free), rather than one posted handler per
  // client and text.
  const size_t shares = records.size() >= kSendsPerShare ? kWorkerCount : 1;
  const size_t perShare = (records.size() + shares - 1) / shares;
  for (size_t first = 0; first < records.size(); first += perShare) {
    std::vector<std::pair<Link, ClientContext*>> share;
    const size_t last = std::min(records.size(), first + perShare);
    share.reserve(last - first);
    for (size_t i = first; i < last; ++i) share.emplace_back(records[i]->link, records[i]);
    asio::post(io, [this, share = std::move(share)] {
      for (const auto& entry : share) {
        Link link = entry.first;
        ClientContext* record = entry.second;
        asio::dispatch(link->strand, [this, link, record] { RunSendStep(link, *record); });
      }
    });
  }
}

void CDataServer::Core::RequestClose(ClientContext& record) {
  Link link = record.link;
  asio::post(link->strand, [this, link] { CloseClient(link, true); });
}

void CDataServer::Core::RequestStartHeld() {
  asio::post(gatherStrand, [this] {
    gatherTimer.expires_after(kGatherDelay);
    gatherTimer.async_wait([this](const asio::error_code& failure) {
      if (!failure) pool.StartHeld();
    });
  });
}

void CDataServer::Core::PostAccept() {
  if (!acceptor.is_open()) return;
  ClientContext& record = pool.Acquire(boundPort);
  auto link = std::make_shared<ClientLink>(io);
  acceptor.async_accept(link->socket,
                        asio::bind_executor(acceptStrand, [this, &record, link](auto failure) {
                          OnAccept(record, link, failure);
                        }));
}

void CDataServer::Core::OnAccept(ClientContext& record, const Link& link,
                                 const asio::error_code& failure) {
  if (failure == asio::error::operation_aborted || !acceptor.is_open()) {
    pool.Release(record);
    return;
  }
  if (failure) {
    RecordError(failure);
    pool.Release(record);
    RetryAccept();
    return;
  }
  PostAccept();  // replaced before the new client's first send
  asio::post(link->strand, [this, &record, link] { SetUpClient(record, link); });
}

void CDataServer::Core::RetryAccept() {
  if (acceptsToRetry++ > 0) return;  // a retry is already waiting
  acceptRetry.expires_after(kAcceptRetryDelay);
  acceptRetry.async_wait([this](const asio::error_code& failure) {
    if (failure) return;
    for (; acceptsToRetry > 0; --acceptsToRetry) PostAccept();
  });
}

void CDataServer::Core::SetUpClient(ClientContext& record, const Link& link) {
  asio::error_code ignored;
  link->socketValue = static_cast<uintptr_t>(link->socket.native_handle());
  link->viewer = ++viewerCount;
  link->socket.set_option(asio::socket_base::keep_alive(true), ignored);
  // Every text is a whole line or block meant to go at once: without this a small data line can
  // wait behind an unacknowledged one for the peer's delayed acknowledgement (tens of ms).
  link->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  link->socket.non_blocking(true, ignored);
  const asio::ip::tcp::endpoint peer = link->socket.remote_endpoint(ignored);
  link->peerAddress = peer.address().to_string();
  link->peerPort = peer.port();
  link->connectedSince = WallClock::now();
  link->writeRecord = &record;
  if (!pool.Connect(record, link)) {  // the server is stopping
    link->socket.set_option(asio::socket_base::linger(true, 0), ignored);
    link->socket.close(ignored);
    pool.Release(record);
    return;
  }
  link->open = true;
  auto reader = std::make_unique<ClientContext>();
  reader->Initialise(record.listenPort);
  reader->link = link;
  reader->processor = std::make_unique<COffsetProcessor>(
      reader.get(), window,
      [this, viewer = link->viewer, weak = std::weak_ptr<ClientLink>(link)](std::string line) {
        OnCommand(viewer, weak, std::move(line));
      });
  ClientContext& readRecord = pool.AddReader(std::move(reader));
  Notify(link->socketValue, true,
         Widen(link->peerAddress + ":" + std::to_string(link->peerPort)));
  StartReceive(link, readRecord);
  RunSendStep(link, record);
}

void CDataServer::Core::StartReceive(const Link& link, ClientContext& reader) {
  link->socket.async_receive(
      asio::buffer(reader.buffer),
      asio::bind_executor(link->strand, [this, link, &reader](auto failure, size_t count) {
        OnReceive(link, reader, failure, count);
      }));
}

void CDataServer::Core::OnReceive(const Link& link, ClientContext& reader,
                                  const asio::error_code& failure, size_t count) {
  if (!failure && count > 0 && link->open) {
    reader.lastTransfer = count;
    reader.processor->Process();
    StartReceive(link, reader);
    return;
  }
  // The peer closed, the connection failed, or the client was closed: the receive loop ends.
  if (link->open) CloseClient(link, false);
  pool.RemoveReader(reader);
}

void CDataServer::Core::RunSendStep(const Link& link, ClientContext& record) {
  // The socket does not block: the texts go out at once as far as the socket takes them, and
  // only a socket that is full is waited on, with nothing of the record held by the wait.
  std::array<asio::const_buffer, kMaxSendTexts> buffers;
  while (link->open && record.processor->Process() == kErrorIoPending) {
    size_t count = 0;
    size_t skip = record.position;
    for (const auto& text : record.texts) {
      if (skip >= text->size()) {
        skip -= text->size();
        continue;
      }
      buffers[count++] = asio::buffer(text->data() + skip, text->size() - skip);
      skip = 0;
    }
    asio::error_code failure;
    const size_t sent =
        link->socket.send(SendBuffers{buffers.data(), buffers.data() + count}, 0, failure);
    if (failure == asio::error::would_block || failure == asio::error::try_again) {
      link->socket.async_wait(
          asio::socket_base::wait_write,
          asio::bind_executor(link->strand, [this, link, &record](const asio::error_code& wait) {
            if (!link->open) return;
            if (wait) {
              CloseClient(link, false);
              return;
            }
            RunSendStep(link, record);
          }));
      return;
    }
    if (failure) {
      CloseClient(link, false);
      return;
    }
    record.position += sent;
  }
}

void CDataServer::Core::CloseClient(const Link& link, bool abortive) {
  if (!link->open) return;
  link->open = false;
  const uint16_t listenPort = link->writeRecord->listenPort;
  pool.Release(*link->writeRecord);  // no handler of this link touches the record from now on
  if (relay != nullptr) relay->ViewerLeft(link->viewer);  // after the last of its commands
  asio::error_code ignored;
  if (abortive) {
    link->socket.set_option(asio::socket_base::linger(true, 0), ignored);
  } else {
    link->socket.shutdown(asio::socket_base::shutdown_both, ignored);
  }
  std::lock_guard guard(noticeLock);
  if (noticesOpen) {
    PostNotice(window, ClientConnectionNotice{link->socketValue, listenPort, false, {}});
  }
  link->socket.close(ignored);  // cancels the client's receive and send
}

void CDataServer::Core::OnCommand(ViewerId viewer, const std::weak_ptr<ClientLink>& link,
                                  std::string line) {
  if (relay == nullptr || pool.Stopping()) return;
  std::weak_ptr<Core> self = weak_from_this();
  relay->Relay(viewer, std::move(line), [self, link](std::string text) {
    if (auto core = self.lock()) core->pool.Reply(link.lock(), std::move(text));
  });
}

void CDataServer::Core::Notify(uintptr_t socketValue, bool connected, std::wstring peer) {
  std::lock_guard guard(noticeLock);
  if (noticesOpen) {
    PostNotice(window, ClientConnectionNotice{socketValue, boundPort.load(), connected,
                                              std::move(peer)});
  }
}

void CDataServer::Core::RecordError(const asio::error_code& failure) {
  std::lock_guard guard(errorLock);
  error.SetSystemError(static_cast<uint32_t>(ErrorNumberFrom(failure)));
}

CDataServer::CDataServer(uint16_t port, INoticeSink* window, std::string listenAddress,
                         std::chrono::milliseconds stopWait, size_t queueLimit)
    : core(std::make_shared<Core>(port, window, std::move(listenAddress), queueLimit)),
      stopWait(stopWait) {}

CDataServer::~CDataServer() { Stop(); }

void CDataServer::SetCommandRelay(ICommandRelay* relay) { core->relay = relay; }

bool CDataServer::Start() {
  if (started || stopped) return false;
  if (!core->Listen()) return false;
  started = true;
  core->StartWorkers(workers);
  return true;
}

void CDataServer::Stop() {
  if (stopped) return;
  stopped = true;
  if (started) {
    core->BeginStop();
    const bool allEnded = core->WaitWorkers(stopWait);
    if (!allEnded) {
      DiagnosticLog().WriteLine(L"Data server: a worker did not end in time");
      core->io.stop();
    }
    for (auto& worker : workers) {
      if (allEnded) {
        worker.join();
      } else {
        worker.detach();  // it keeps the core alive until it ends
      }
    }
    workers.clear();
    core->CloseNotices();
    // A worker that did not end may still use the records; they then go with the core.
    if (allEnded) core->Pool().Clear();
    return;
  }
  core->CloseNotices();
}

void CDataServer::Publish(SavedText which, std::string text) {
  core->Pool().Publish(which, std::move(text));
}

uint16_t CDataServer::Port() const {
  const uint16_t bound = core->boundPort;
  return bound != 0 ? bound : core->requestedPort;
}

ErrorInfo CDataServer::LastError() const { return core->LastError(); }

size_t CDataServer::ConnectedCount() const { return core->Pool().ConnectedCount(); }

CContextPool::Counts CDataServer::RecordCounts() const { return core->Pool().RecordCounts(); }

std::vector<ViewerHealth> CDataServer::Viewers() const { return core->Pool().Viewers(); }

std::string CDataServer::Saved(SavedText which) const { return core->Pool().Saved(which); }

asio::io_context::executor_type CDataServer::Executor() const { return core->io.get_executor(); }

}  // namespace tessamer
