#include "box_simulator.h"

#include <asio.hpp>
#include <chrono>
#include <ctime>
#include <deque>
#include <future>
#include <memory>
#include <random>

#include "box_stream.h"

// The simulator's picture, all on one thread (the engine's io_context):
//
//   per box:  data acceptor ──accept──► DataConnection ◄─┬─ record timer (generated lines)
//                                        (write queue)  └─ slot timer   (replayed slots)
//             utility acceptor ─accept─► UtilityConnection: read a line, answer, read the next
//
// A data connection's queue holds pieces; after each write it waits `gap` before the next piece
// (no wait for generated lines), so replayed text arrives cut where the pieces were cut.

namespace tessamer::sim {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::tm LocalTime(std::time_t t) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  return local;
}

}  // namespace

std::vector<ChannelSetup> DefaultChannels() {
  return {{"Pressure", "psi", 1500.0, 400.0, 5.0},
          {"Rate", "bpm", 4.2, 1.5, 0.05},
          {"Weight", "lbs", 18000.0, 2500.0, 40.0},
          {"Density", "ppg", 12.5, 0.8, 0.01}};
}

SimulatorOptions DefaultOptions(int count) {
  SimulatorOptions options;
  if (count < 1) count = 1;
  if (count > kMaxSimulatedBoxes) count = kMaxSimulatedBoxes;
  options.boxes.resize(static_cast<size_t>(count));
  return options;
}

// ---------------------------------------------------------------------------------------------
// Connections

namespace {

class DataConnection : public std::enable_shared_from_this<DataConnection> {
 public:
  DataConnection(tcp::socket socket, std::chrono::milliseconds gap)
      : socket(std::move(socket)), gapTimer(this->socket.get_executor()), gap(gap) {}

  // Queues `pieces`; false when the reader has fallen too far behind (the caller closes it).
  bool Send(std::vector<std::string> pieces) {
    for (auto& piece : pieces) {
      pendingBytes += piece.size();
      queue.push_back(std::move(piece));
    }
    if (pendingBytes > kMaxPendingBytes) return false;
    if (!writing) WriteNext();
    return true;
  }

  void Close() {
    asio::error_code ignored;
    gapTimer.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    queue.clear();
    pendingBytes = 0;
  }

  bool IsOpen() const { return socket.is_open(); }

  size_t replayCursor = 0;  // next replay slot for this connection

 private:
  void WriteNext() {
    if (queue.empty() || !socket.is_open()) {
      writing = false;
      return;
    }
    writing = true;
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(queue.front()),
                      [this, self](const asio::error_code& error, size_t) {
                        if (error || queue.empty()) {
                          writing = false;
                          return;
                        }
                        pendingBytes -= queue.front().size();
                        queue.pop_front();
                        if (gap.count() > 0 && !queue.empty()) {
                          gapTimer.expires_after(gap);
                          gapTimer.async_wait([this, self](const asio::error_code& e) {
                            if (e) {
                              writing = false;
                              return;
                            }
                            WriteNext();
                          });
                        } else {
                          WriteNext();
                        }
                      });
  }

  tcp::socket socket;
  asio::steady_timer gapTimer;
  const std::chrono::milliseconds gap;
  std::deque<std::string> queue;
  size_t pendingBytes = 0;
  bool writing = false;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The box's network side

struct CSimulatedBox::Impl {
  Impl(asio::io_context& context, int index)
      : context(context),
        dataAcceptor(context),
        utilityAcceptor(context),
        recordTimer(context),
        slotTimer(context),
        noise(static_cast<uint32_t>(20417 + index)),
        cuts(0) {}

  asio::io_context& context;
  tcp::acceptor dataAcceptor;
  tcp::acceptor utilityAcceptor;
  tcp::endpoint dataEndpoint;      // bound address and port, kept for listening again
  uint16_t utilityPort = 0;
  asio::steady_timer recordTimer;  // generated records
  asio::steady_timer slotTimer;    // replay slots
  std::vector<std::shared_ptr<DataConnection>> connections;
  std::vector<std::shared_ptr<tcp::socket>> utilityConnections;
  std::mt19937 noise;
  std::mt19937 cuts;
  uint64_t sequence = 0;
  Clock::time_point nextRecord;
  Clock::time_point recordClock;  // set before the simulator's thread starts, then read-only
  Clock::time_point replayStart;
  size_t slotsTicked = 0;
  bool silent = false;
  bool refusing = false;
  bool stopped = false;
  bool replaying = false;
  bool released = false;
  ReplayScript script;
  std::string headerBlock;
  std::chrono::milliseconds pieceGap{0};
  size_t maxPiece = 0;
  std::chrono::milliseconds slot{200};
  std::string serial;
};

CSimulatedBox::CSimulatedBox(int index, BoxSetup setup, std::string address, std::unique_ptr<Impl> impl)
    : index(index), setup(std::move(setup)), address(std::move(address)), impl(std::move(impl)) {}

CSimulatedBox::~CSimulatedBox() = default;

uint16_t CSimulatedBox::DataPort() const { return impl->dataEndpoint.port(); }
uint16_t CSimulatedBox::UtilityPort() const { return impl->utilityPort; }
std::string CSimulatedBox::HeaderBlock() const { return impl->headerBlock; }

std::vector<std::string> CSimulatedBox::ReceivedCommands() const {
  std::lock_guard guard(mutex);
  return commands;
}

bool CSimulatedBox::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] { return commands.size() >= count; });
}

bool CSimulatedBox::WaitForDataConnections(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] { return accepted >= count; });
}

Clock::time_point CSimulatedBox::RecordClock() const { return impl->recordClock; }

uint64_t CSimulatedBox::RecordsSent() const {
  std::lock_guard guard(mutex);
  return records;
}

void CSimulatedBox::NoteCommand(std::string command) {
  {
    std::lock_guard guard(mutex);
    commands.push_back(std::move(command));
  }
  changed.notify_all();
}

void CSimulatedBox::NoteAccepted() {
  {
    std::lock_guard guard(mutex);
    ++accepted;
  }
  changed.notify_all();
}

void CSimulatedBox::NoteRecord() {
  std::lock_guard guard(mutex);
  ++records;
}

// ---------------------------------------------------------------------------------------------
// The engine: the simulator's thread and everything that runs on it

struct CBoxSimulator::Engine {
  asio::io_context context;
  std::thread thread;
  std::mutex observerMutex;
  std::function<void(int, const std::string&)> observer;
  bool running = false;  // touched by the owner's thread only

  static void ForgetClosed(CSimulatedBox& box) {
    std::erase_if(box.impl->connections, [](const auto& connection) { return !connection->IsOpen(); });
  }

  static void SendTo(DataConnection& connection, std::vector<std::string> pieces) {
    if (!connection.Send(std::move(pieces))) connection.Close();
  }

  static std::vector<std::string> Pieces(CSimulatedBox& box, std::string_view text) {
    auto& impl = *box.impl;
    if (!impl.replaying || impl.maxPiece == 0) return {std::string(text)};
    return CutIntoPieces(text, impl.maxPiece, impl.cuts);
  }

  static void AcceptData(CSimulatedBox& box) {
    auto& impl = *box.impl;
    impl.dataAcceptor.async_accept([&box](const asio::error_code& error, tcp::socket socket) {
      auto& impl = *box.impl;
      if (error) {
        if (error != asio::error::operation_aborted && impl.dataAcceptor.is_open()) AcceptData(box);
        return;
      }
      asio::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      auto connection = std::make_shared<DataConnection>(std::move(socket), impl.pieceGap);
      impl.connections.push_back(connection);
      box.NoteAccepted();
      const std::string& opening = impl.replaying ? impl.script.opening : impl.headerBlock;
      SendTo(*connection, Pieces(box, opening));
      AcceptData(box);
    });
  }

  static void AcceptUtility(CSimulatedBox& box, Engine& engine) {
    box.impl->utilityAcceptor.async_accept([&box, &engine](const asio::error_code& error,
                                                           tcp::socket socket) {
      if (error) {
        if (error != asio::error::operation_aborted && box.impl->utilityAcceptor.is_open()) {
          AcceptUtility(box, engine);
        }
        return;
      }
      auto peer = std::make_shared<tcp::socket>(std::move(socket));
      auto& peers = box.impl->utilityConnections;
      std::erase_if(peers, [](const auto& p) { return !p->is_open(); });
      peers.push_back(peer);
      auto input = std::make_shared<asio::streambuf>(4096);
      if (box.Setup().banner) {
        auto banner = std::make_shared<std::string>(kUtilityBanner);
        asio::async_write(*peer, asio::buffer(*banner),
                          [&box, &engine, peer, input, banner](const asio::error_code& e, size_t) {
                            if (!e) ReadRequest(box, engine, peer, input);
                          });
      } else {
        ReadRequest(box, engine, peer, input);
      }
      AcceptUtility(box, engine);
    });
  }

  // The box's answer to one utility request line (without its line end); `received` counts the
  // bytes of the request as it arrived, line end included.
  static std::string Answer(const CSimulatedBox& box, const std::string& request, size_t received) {
    if (request == "help") {
      return "# Vellumetric VMC utility: GA GU GZ GY GS GC help\r\nSerial " + box.impl->serial +
             "\r\nFirmware Ver " + box.Setup().firmware + "\r\n";
    }
    if (!request.empty() && request[0] == 'G') {
      return std::string(kAcknowledgement) + std::to_string(received) + "\r\nDone\r\n";
    }
    return "Unknown command\r\n";
  }

  static void ReadRequest(CSimulatedBox& box, Engine& engine, std::shared_ptr<tcp::socket> peer,
                          std::shared_ptr<asio::streambuf> input) {
    asio::async_read_until(
        *peer, *input, '\n',
        [&box, &engine, peer, input](const asio::error_code& error, size_t length) {
          if (error) {
            asio::error_code ignored;
            peer->close(ignored);
            return;
          }
          std::string line(asio::buffers_begin(input->data()),
                           asio::buffers_begin(input->data()) + static_cast<std::ptrdiff_t>(length));
          input->consume(length);
          std::string request = line.substr(0, line.size() - 1);
          while (!request.empty() && request.back() == '\r') request.pop_back();
          if (request.empty()) {
            ReadRequest(box, engine, peer, input);
            return;
          }
          // The observer first: whoever waits for the command then also finds it observed.
          engine.Observe(box.index, request);
          box.NoteCommand(request);
          auto answer = std::make_shared<std::string>(Answer(box, request, line.size()));
          asio::async_write(*peer, asio::buffer(*answer),
                            [&box, &engine, peer, input, answer](const asio::error_code& e, size_t) {
                              if (!e) ReadRequest(box, engine, peer, input);
                            });
        });
  }

  void Observe(int index, const std::string& request) {
    std::function<void(int, const std::string&)> copy;
    {
      std::lock_guard guard(observerMutex);
      copy = observer;
    }
    if (copy) copy(index, request);
  }

  static void ScheduleRecord(CSimulatedBox& box) {
    auto& impl = *box.impl;
    impl.nextRecord += box.Setup().recordPeriod;
    impl.recordTimer.expires_at(impl.nextRecord);
    impl.recordTimer.async_wait([&box](const asio::error_code& error) {
      if (error) return;
      EmitRecord(box);
      ScheduleRecord(box);
    });
  }

  static void EmitRecord(CSimulatedBox& box) {
    auto& impl = *box.impl;
    const uint64_t sequence = impl.sequence++;
    ForgetClosed(box);
    if (impl.silent || impl.connections.empty()) return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto sinceSecond = now - std::chrono::system_clock::from_time_t(seconds);
    const int hundredths =
        box.Setup().recordPeriod < std::chrono::seconds(1)
            ? static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceSecond).count() / 10)
            : -1;
    const std::string line =
        DataLineText(LocalTime(seconds), hundredths, GenerateValues(box.Setup(), sequence, impl.noise));
    for (auto& connection : impl.connections) SendTo(*connection, {line});
    box.NoteRecord();
  }

  static void ScheduleSlot(CSimulatedBox& box) {
    auto& impl = *box.impl;
    ++impl.slotsTicked;
    impl.slotTimer.expires_at(impl.replayStart + impl.slotsTicked * impl.slot);
    impl.slotTimer.async_wait([&box](const asio::error_code& error) {
      if (error) return;
      EmitSlot(box);
      ScheduleSlot(box);
    });
  }

  static void EmitSlot(CSimulatedBox& box) {
    auto& impl = *box.impl;
    ForgetClosed(box);
    if (impl.silent) return;
    bool sentRecord = false;
    for (auto& connection : impl.connections) {
      if (connection->replayCursor >= impl.script.slots.size()) continue;
      const std::string& slot = impl.script.slots[connection->replayCursor++];
      SendTo(*connection, Pieces(box, slot));
      sentRecord = true;
    }
    if (sentRecord) box.NoteRecord();
  }

  static void CloseAll(CSimulatedBox& box) {
    auto& impl = *box.impl;
    impl.stopped = true;
    asio::error_code ignored;
    impl.dataAcceptor.close(ignored);
    impl.utilityAcceptor.close(ignored);
    impl.recordTimer.cancel();
    impl.slotTimer.cancel();
    for (auto& connection : impl.connections) connection->Close();
    for (auto& peer : impl.utilityConnections) {
      peer->shutdown(tcp::socket::shutdown_both, ignored);
      peer->close(ignored);
    }
  }
};


namespace {

asio::error_code Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    asio::error_code ignored;
    acceptor.close(ignored);
  }
  return error;
}

// Most attempts at finding one free port number on every box's address.
constexpr int kPortAttempts = 20;

}  // namespace

namespace {

// Runs `work` on the simulator's thread and returns once it has run, so that a caller's next
// step (a connect that must be refused, say) already sees its effect. Bounded: a simulator
// that no longer runs its thread cannot hold the caller.
template <typename Work>
void RunOnSimulatorThread(asio::io_context& context, Work work) {
  if (context.get_executor().running_in_this_thread()) {
    work();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> applied = done->get_future();
  asio::post(context, [work = std::move(work), done]() mutable {
    work();
    done->set_value();
  });
  applied.wait_for(std::chrono::seconds(5));
}

}  // namespace

void CSimulatedBox::Drop() {
  RunOnSimulatorThread(impl->context, [this] {
    for (auto& connection : impl->connections) connection->Close();
    CBoxSimulator::Engine::ForgetClosed(*this);
  });
}

void CSimulatedBox::SetRefusing(bool refusing) {
  RunOnSimulatorThread(impl->context, [this, refusing] {
    if (impl->stopped || refusing == impl->refusing) return;
    impl->refusing = refusing;
    asio::error_code ignored;
    if (refusing) {
      impl->dataAcceptor.close(ignored);
      return;
    }
    if (!Listen(impl->dataAcceptor, impl->dataEndpoint)) CBoxSimulator::Engine::AcceptData(*this);
  });
}

void CSimulatedBox::SetSilent(bool silent) {
  RunOnSimulatorThread(impl->context, [this, silent] { impl->silent = silent; });
}

CBoxSimulator::CBoxSimulator(SimulatorOptions options)
    : options(std::move(options)), engine(std::make_unique<Engine>()) {
  if (this->options.boxes.size() > static_cast<size_t>(kMaxSimulatedBoxes)) {
    this->options.boxes.resize(kMaxSimulatedBoxes);
  }
  const asio::ip::address_v4 first = asio::ip::make_address_v4(kFirstBoxAddress);
  for (size_t i = 0; i < this->options.boxes.size(); ++i) {
    BoxSetup setup = this->options.boxes[i];
    const int index = static_cast<int>(i);
    std::string address = setup.address.empty()
                              ? asio::ip::address_v4(first.to_uint() + static_cast<uint32_t>(i)).to_string()
                              : setup.address;
    auto impl = std::make_unique<CSimulatedBox::Impl>(engine->context, index);
    impl->serial = setup.serialNumber.empty() ? "VM-" + std::to_string(20417 + index) : setup.serialNumber;
    impl->headerBlock = HeaderBlockText(setup, impl->serial);
    impl->slot = this->options.pacing.slot;
    impl->pieceGap = this->options.pacing.pieceGap;
    impl->maxPiece = this->options.pacing.maxPiece;
    impl->cuts.seed(this->options.pacing.seed + static_cast<uint32_t>(i));
    boxes.push_back(std::unique_ptr<CSimulatedBox>(
        new CSimulatedBox(index, std::move(setup), std::move(address), std::move(impl))));
  }
}

CBoxSimulator::~CBoxSimulator() {
  Stop();
  boxes.clear();  // the sockets go before the context they belong to
}

bool CBoxSimulator::Start(std::string* error) {
  auto fail = [&](std::string text) {
    for (auto& box : boxes) Engine::CloseAll(*box);
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  if (engine->running) return true;
  if (boxes.empty()) return fail("no boxes to simulate");
  for (auto& box : boxes) {
    auto& impl = *box->impl;
    const BoxSetup& setup = box->Setup();
    std::string stream = setup.replayText;
    if (!setup.replayFile.empty() && !ReadWholeFile(setup.replayFile, stream)) {
      return fail("cannot read the replay file " + setup.replayFile);
    }
    impl.replaying = !stream.empty();
    if (impl.replaying) {
      impl.script = SplitReplay(stream);
      impl.headerBlock = impl.script.opening;
    } else {
      impl.pieceGap = std::chrono::milliseconds(0);
    }
  }
  std::string failure;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    failure.clear();
    bool retry = false;
    for (size_t i = 0; i < boxes.size() && failure.empty() && !retry; ++i) {
      CSimulatedBox& box = *boxes[i];
      auto& impl = *box.impl;
      asio::error_code bad;
      const auto address = asio::ip::make_address_v4(box.Address(), bad);
      if (bad) {
        failure = "not an IPv4 address: " + box.Address();
        break;
      }
      auto portFor = [&](uint16_t own, uint16_t first) -> uint16_t {
        if (own != 0) return own;
        return options.samePorts && i > 0 ? first : 0;
      };
      const uint16_t dataPort = portFor(box.Setup().dataPort, boxes[0]->DataPort());
      const uint16_t utilityPort = portFor(box.Setup().utilityPort, boxes[0]->UtilityPort());
      const bool shared = i > 0 && options.samePorts;
      for (int which = 0; which < 2 && failure.empty() && !retry; ++which) {
        auto& acceptor = which == 0 ? impl.dataAcceptor : impl.utilityAcceptor;
        const uint16_t port = which == 0 ? dataPort : utilityPort;
        const bool picked = shared && (which == 0 ? box.Setup().dataPort : box.Setup().utilityPort) == 0;
        const asio::error_code e = Listen(acceptor, tcp::endpoint(address, port));
        if (e == asio::error::address_in_use && picked) {
          retry = true;
        } else if (e) {
          failure = (which == 0 ? "data" : "utility") + std::string(" port ") + std::to_string(port) +
                    " on " + box.Address() + ": " + e.message();
        } else if (which == 0) {
          impl.dataEndpoint = acceptor.local_endpoint();
        } else {
          impl.utilityPort = acceptor.local_endpoint().port();
        }
      }
    }
    if (!retry && failure.empty()) break;
    for (auto& box : boxes) {
      asio::error_code ignored;
      box->impl->dataAcceptor.close(ignored);
      box->impl->utilityAcceptor.close(ignored);
      box->impl->dataEndpoint = tcp::endpoint();
      box->impl->utilityPort = 0;
    }
    if (!failure.empty()) return fail(failure);
    if (attempt + 1 == kPortAttempts) return fail("no port number free on every box address");
  }

  const auto now = Clock::now();
  for (auto& box : boxes) {
    auto& impl = *box->impl;
    Engine::AcceptData(*box);
    Engine::AcceptUtility(*box, *engine);
    if (impl.replaying) {
      if (!options.pacing.holdAfterHeader) {
        impl.released = true;
        impl.replayStart = now;
        Engine::ScheduleSlot(*box);
      }
    } else {
      impl.nextRecord = now;
      impl.recordClock = now;
      Engine::ScheduleRecord(*box);
    }
  }
  engine->running = true;
  engine->thread = std::thread([this] { engine->context.run(); });
  return true;
}

void CBoxSimulator::Stop() {
  if (!engine->running) return;
  engine->running = false;
  asio::post(engine->context, [this] {
    for (auto& box : boxes) Engine::CloseAll(*box);
    engine->context.stop();
  });
  engine->thread.join();
}

void CBoxSimulator::ReleaseReplay() {
  asio::post(engine->context, [this] {
    const auto now = Clock::now();
    for (auto& box : boxes) {
      auto& impl = *box->impl;
      if (!impl.replaying || impl.released || impl.stopped) continue;
      impl.released = true;
      impl.replayStart = now;
      Engine::ScheduleSlot(*box);
    }
  });
}

void CBoxSimulator::SetCommandObserver(std::function<void(int, const std::string&)> observer) {
  std::lock_guard guard(engine->observerMutex);
  engine->observer = std::move(observer);
}

}  // namespace tessamer::sim
