#include "simulated_box.h"

#include <future>

#include "box_stream.h"
#include "generated_stream_source.h"
#include "replayed_stream_source.h"
#include "support/ipv4_text.h"
#include "support/platform.h"

namespace tessamer::sim {

namespace {
// What a noisy box sends before each record: neither a header line nor a data line.
constexpr const char* kLineNoise = "~~@ line noise 0x7f ~~\r\n";
}  // namespace

namespace {

using asio::ip::tcp;

constexpr int kFirstSerialNumber = 20417;  // box i is "VM-<20417 + i>" unless its setup names one
// The longest a caller waits for its change to take effect on the simulator's thread.
constexpr std::chrono::seconds kApplyTimeout{5};

asio::error_code Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) ClaimListenPort(acceptor, error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    asio::error_code ignored;
    acceptor.close(ignored);
  }
  return error;
}

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
  applied.wait_for(kApplyTimeout);
}

}  // namespace

CSimulatedBox::CSimulatedBox(asio::io_context& context, int index, BoxSetup setup, const ReplayPacing& pacing,
                             RequestObserver observer)
    : index(index),
      setup(std::move(setup)),
      address(this->setup.address.empty() ? Ipv4Text(kFirstBoxAddress + static_cast<uint32_t>(index))
                                          : this->setup.address),
      serialNumber(this->setup.serialNumber.empty() ? "VM-" + std::to_string(kFirstSerialNumber + index)
                                                    : this->setup.serialNumber),
      pacing(pacing),
      observer(std::move(observer)),
      context(context),
      dataAcceptor(context),
      utilityAcceptor(context),
      stream(std::make_unique<CGeneratedStreamSource>(this->setup, serialNumber,
                                                      static_cast<uint32_t>(kFirstSerialNumber + index))),
      recordTimer(context) {}

CSimulatedBox::~CSimulatedBox() = default;

// ---------------------------------------------------------------------------------------------
// Control, from any thread

void CSimulatedBox::Drop() {
  RunOnSimulatorThread(context, [this] {
    for (auto& connection : dataConnections) connection->Close();
    ForgetClosedConnections();
  });
}

void CSimulatedBox::SetRefusing(bool refuse) {
  RunOnSimulatorThread(context, [this, refuse] {
    if (stopped || refuse == refusing) return;
    refusing = refuse;
    if (refusing) {
      asio::error_code ignored;
      dataAcceptor.close(ignored);
      return;
    }
    if (!Listen(dataAcceptor, dataEndpoint)) AcceptData();
  });
}

void CSimulatedBox::SetSilent(bool silence) {
  RunOnSimulatorThread(context, [this, silence] { silent = silence; });
}

void CSimulatedBox::SetNoisy(bool noise) {
  RunOnSimulatorThread(context, [this, noise] { noisy = noise; });
}

// ---------------------------------------------------------------------------------------------
// Observations, from any thread

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

uint64_t CSimulatedBox::RecordsSent() const {
  std::lock_guard guard(mutex);
  return records;
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
// Start and stop

std::string CSimulatedBox::LoadStream() {
  std::string recording = setup.replayText;
  if (!setup.replayFile.empty() && !ReadWholeFile(setup.replayFile, recording)) {
    return "cannot read the replay file " + setup.replayFile;
  }
  if (!recording.empty()) {
    stream = std::make_unique<CReplayedStreamSource>(recording, pacing, pacing.seed + static_cast<uint32_t>(index));
  }
  return {};
}

asio::error_code CSimulatedBox::OpenPort(Port port, uint16_t number) {
  const std::optional<uint32_t> ipv4 = ParseIpv4(address);
  if (!ipv4) return asio::error::invalid_argument;
  tcp::acceptor& acceptor = port == Port::Data ? dataAcceptor : utilityAcceptor;
  const asio::error_code error = Listen(acceptor, tcp::endpoint(asio::ip::address_v4(*ipv4), number));
  if (error) return error;
  if (port == Port::Data) {
    dataEndpoint = acceptor.local_endpoint();
  } else {
    utilityPort = acceptor.local_endpoint().port();
  }
  return {};
}

void CSimulatedBox::ClosePorts() {
  asio::error_code ignored;
  dataAcceptor.close(ignored);
  utilityAcceptor.close(ignored);
  dataEndpoint = tcp::endpoint();
  utilityPort = 0;
}

void CSimulatedBox::Start(Clock::time_point now) {
  recordClock = now;
  AcceptData();
  AcceptUtility();
  if (!stream->HeldUntilReleased()) StartRecords(now);
}

void CSimulatedBox::Release(Clock::time_point now) {
  if (recordsStarted || stopped) return;
  StartRecords(now);
}

void CSimulatedBox::Step() {
  if (recordsStarted || stopped) return;
  OnRecordDue();
}

void CSimulatedBox::Close() {
  stopped = true;
  asio::error_code ignored;
  dataAcceptor.close(ignored);
  utilityAcceptor.close(ignored);
  recordTimer.cancel();
  for (auto& connection : dataConnections) connection->Close();
  for (auto& connection : utilityConnections) connection->Close();
}

// ---------------------------------------------------------------------------------------------
// The simulator's thread

void CSimulatedBox::AcceptData() {
  dataAcceptor.async_accept([this](const asio::error_code& error, tcp::socket socket) {
    if (error) {
      if (error != asio::error::operation_aborted && dataAcceptor.is_open()) AcceptData();
      return;
    }
    auto connection = std::make_shared<CBoxDataConnection>(std::move(socket), stream->PieceGap());
    dataConnections.push_back(connection);
    NoteAccepted();
    stream->Open(*connection);
    AcceptData();
  });
}

void CSimulatedBox::AcceptUtility() {
  utilityAcceptor.async_accept([this](const asio::error_code& error, tcp::socket socket) {
    if (error) {
      if (error != asio::error::operation_aborted && utilityAcceptor.is_open()) AcceptUtility();
      return;
    }
    std::erase_if(utilityConnections, [](const auto& connection) { return !connection->IsOpen(); });
    auto connection = std::make_shared<CBoxUtilityConnection>(
        std::move(socket), setup, serialNumber, [this](const std::string& request) { OnRequest(request); });
    utilityConnections.push_back(connection);
    connection->Start();
    AcceptUtility();
  });
}

void CSimulatedBox::OnRequest(const std::string& request) {
  // The observer first: whoever waits for the command then also finds it observed.
  observer(request);
  {
    std::lock_guard guard(mutex);
    commands.push_back(request);
  }
  changed.notify_all();
}

void CSimulatedBox::StartRecords(Clock::time_point now) {
  recordsStarted = true;
  recordsStart = now;
  ScheduleRecord();
}

void CSimulatedBox::ScheduleRecord() {
  recordTimer.expires_at(recordsStart + static_cast<int64_t>(recordsDue + 1) * stream->Period());
  recordTimer.async_wait([this](const asio::error_code& error) {
    if (error) return;
    OnRecordDue();
    ScheduleRecord();
  });
}

void CSimulatedBox::OnRecordDue() {
  // A generated record's sequence number follows the clock: records due while silent are lost.
  const uint64_t sequence = recordsDue++;
  ForgetClosedConnections();
  if (silent) return;
  if (noisy) {
    for (const auto& connection : dataConnections) connection->Send({kLineNoise});
  }
  if (stream->SendRecord(sequence, dataConnections)) NoteRecord();
}

void CSimulatedBox::ForgetClosedConnections() {
  std::erase_if(dataConnections, [](const auto& connection) { return !connection->IsOpen(); });
}

}  // namespace tessamer::sim
