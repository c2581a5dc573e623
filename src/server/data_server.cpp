#include "server/data_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "server/viewer_connection.h"
#include "support/error_numbers.h"
#include "support/platform.h"
#include "support/simple_log_file.h"
#include "support/accept_retry.h"
#include "support/text.h"

namespace tessamer {

namespace {
// A publication that wakes this many idle clients or more is shared out among the workers.
constexpr size_t kSendsPerShare = 16;
}  // namespace

// Threads: handlers run on the workers, each on the strand it belongs to (the acceptor's, the
// gathering step's or a viewer's); the owner's thread calls Listen, BeginStop, WaitWorkers and
// CloseNotices. `errorLock` guards `error`; `noticeLock` guards `noticesOpen` and is held while a
// connection notice is posted; `runLock` guards `running`. A viewer is reported disconnected
// before its socket is closed, so its socket number is never reported for a new connection first.
class CDataServer::Core : public IViewerIo,
                          public IViewerOwner,
                          public std::enable_shared_from_this<Core> {
 public:
  Core(uint16_t port, INoticeSink* window, std::string listenAddress, size_t queueLimit)
      : requestedPort(port),
        acceptStrand(asio::make_strand(io)),
        acceptor(acceptStrand),
        acceptRetry(acceptStrand),
        gatherStrand(asio::make_strand(io)),
        gatherTimer(gatherStrand),
        pool(*this),
        window(window),
        queueLimit(queueLimit),
        listenAddress(std::move(listenAddress)) {}
  ~Core() override { pool.Clear(); }

  bool Listen();
  void StartWorkers(std::vector<std::thread>& workers);
  void BeginStop();
  bool WaitWorkers(std::chrono::milliseconds wait);
  void CloseNotices();

  void RequestSends(ViewerList viewers) override;
  void RequestStartHeld(std::chrono::steady_clock::duration delay) override;
  bool Join(const std::shared_ptr<CViewerConnection>& viewer) override;
  void Left(CViewerConnection& viewer) override;
  void Command(const std::shared_ptr<CViewerConnection>& viewer, std::string line) override;

  asio::io_context io{kWorkerCount};
  CContextPool& Pool() { return pool; }
  ICommandRelay* relay = nullptr;  // set before the workers start
  std::atomic<uint16_t> boundPort{0};
  uint16_t requestedPort;
  ErrorInfo LastError() const {
    std::lock_guard guard(errorLock);
    return error;
  }

 private:
  void Run();
  void PostAccept();
  void OnAccept(const asio::error_code& failure, ViewerSocket socket);
  void RetryAccept();
  void NotifyConnected(const CViewerConnection& viewer);
  void NotifyDisconnected(const CViewerConnection& viewer);
  void RecordError(const asio::error_code& failure);

  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  asio::strand<asio::io_context::executor_type> acceptStrand;
  asio::ip::tcp::acceptor acceptor;  // acceptStrand only, once the workers run
  asio::steady_timer acceptRetry;    // acceptStrand only
  int acceptsToRetry = 0;            // acceptStrand only
  ViewerId viewerCount = 0;          // acceptStrand only: the last number given to a viewer
  asio::strand<asio::io_context::executor_type> gatherStrand;
  asio::steady_timer gatherTimer;    // gatherStrand only
  CContextPool pool;                 // destroyed before the io_context its sockets use
  INoticeSink* window;
  size_t queueLimit;                 // per viewer
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
  for (const auto& viewer : pool.Connected()) viewer->RequestClose();
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

void CDataServer::Core::RequestSends(ViewerList viewers) {
  // One handler per worker takes a share of the viewers and runs their send steps in turn, each
  // on its viewer's strand (inline when that strand is free), rather than one posted handler per
  // viewer and text.
  const size_t shares = viewers.size() >= kSendsPerShare ? kWorkerCount : 1;
  const size_t perShare = (viewers.size() + shares - 1) / shares;
  for (size_t first = 0; first < viewers.size(); first += perShare) {
    const auto begin = std::make_move_iterator(viewers.begin() + static_cast<ptrdiff_t>(first));
    const size_t count = std::min(perShare, viewers.size() - first);
    asio::post(io, [share = ViewerList(begin, begin + static_cast<ptrdiff_t>(count))] {
      for (const auto& viewer : share) viewer->RequestSend();
    });
  }
}

void CDataServer::Core::RequestStartHeld(std::chrono::steady_clock::duration delay) {
  asio::post(gatherStrand, [this, delay] {
    gatherTimer.expires_after(delay);
    gatherTimer.async_wait([this](const asio::error_code& failure) {
      if (!failure) pool.StartHeld();
    });
  });
}

bool CDataServer::Core::Join(const std::shared_ptr<CViewerConnection>& viewer) {
  if (!pool.Join(viewer)) return false;
  NotifyConnected(*viewer);
  return true;
}

void CDataServer::Core::Left(CViewerConnection& viewer) {
  pool.Leave(viewer);
  if (relay != nullptr) relay->ViewerLeft(viewer.Viewer());  // after the last of its commands
  NotifyDisconnected(viewer);
}

void CDataServer::Core::Command(const std::shared_ptr<CViewerConnection>& viewer,
                                std::string line) {
  if (relay == nullptr || pool.Stopping()) return;
  std::weak_ptr<Core> self = weak_from_this();
  std::weak_ptr<CViewerConnection> target = viewer;
  relay->Relay(viewer->Viewer(), std::move(line), [self, target](std::string text) {
    if (auto core = self.lock()) core->pool.Reply(target.lock(), std::move(text));
  });
}

void CDataServer::Core::PostAccept() {
  if (!acceptor.is_open()) return;
  // Each viewer's socket gets a strand of its own as its executor.
  acceptor.async_accept(asio::make_strand(io),
                        asio::bind_executor(acceptStrand, [this](const asio::error_code& failure,
                                                                 ViewerSocket socket) {
                          OnAccept(failure, std::move(socket));
                        }));
}

void CDataServer::Core::OnAccept(const asio::error_code& failure, ViewerSocket socket) {
  if (failure == asio::error::operation_aborted || !acceptor.is_open()) return;
  if (failure) {
    RecordError(failure);
    switch (AfterAcceptFailure(failure)) {
      case AcceptRetry::Never: return;
      case AcceptRetry::AtOnce: PostAccept(); return;
      case AcceptRetry::AfterDelay: RetryAccept(); return;
    }
  }
  PostAccept();  // replaced before the new viewer's first send
  std::make_shared<CViewerConnection>(std::move(socket), *this, ++viewerCount, window, queueLimit)
      ->Start();
}

void CDataServer::Core::RetryAccept() {
  if (acceptsToRetry++ > 0) return;  // a retry is already waiting
  acceptRetry.expires_after(kAcceptRetryDelay);
  acceptRetry.async_wait([this](const asio::error_code& failure) {
    if (failure) return;
    for (; acceptsToRetry > 0; --acceptsToRetry) PostAccept();
  });
}

void CDataServer::Core::NotifyConnected(const CViewerConnection& viewer) {
  std::lock_guard guard(noticeLock);
  if (!noticesOpen) return;
  PostNotice(window, ClientConnectionNotice{viewer.SocketValue(), boundPort.load(), true,
                                            Widen(viewer.PeerText())});
}

void CDataServer::Core::NotifyDisconnected(const CViewerConnection& viewer) {
  std::lock_guard guard(noticeLock);
  if (!noticesOpen) return;
  PostNotice(window, ClientConnectionNotice{viewer.SocketValue(), boundPort.load(), false, {}});
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
    // A worker that did not end may still use the viewers; they then go with the core.
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

std::vector<ViewerHealth> CDataServer::Viewers() const { return core->Pool().Viewers(); }

std::string CDataServer::Saved(SavedText which) const { return core->Pool().Saved(which); }

asio::io_context::executor_type CDataServer::Executor() const { return core->io.get_executor(); }

}  // namespace tessamer
