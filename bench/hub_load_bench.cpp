// End-to-end load: 16 simulated boxes at 50 records/s each, a hub combining them, 100 viewers.
//
//   this process                                   child process (forked before any thread)
//   CBoxSimulator: 16 boxes ──TCP──────────────►   CHubBridge ──TCP──► 100 viewers (back here,
//   (channel 0 of each box = sequence number k)                         one io_context thread)
//
// Every combined line carries each box's sequence number; a line is "record k" when its smallest
// sequence is k. Reported: records lost or repeated at any viewer, p50/p99 latency from the due
// time of record k at the boxes to its arrival at a viewer, the hub's CPU share of one core and
// its peak RSS (read from /proc). Targets: nothing lost, p99 below 5 ms, CPU below 25 %, RSS
// below 50 MiB. TESSAMER_LOAD_SECONDS shortens the measured time (default 60).
//
// Linux only: fork, pipes and /proc measure the hub apart from the load generators.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "box_simulator.h"
#include "hub/hub_bridge.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

constexpr int kBoxes = 16;
constexpr int kViewers = 100;
constexpr std::chrono::milliseconds kRecordPeriod{20};  // 50 records/s
constexpr int kChannelsPerBox = 4;
constexpr std::chrono::seconds kWarmUp{3};

int MeasuredSeconds() {
  const char* text = std::getenv("TESSAMER_LOAD_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 60;
  return seconds > 0 ? seconds : 60;
}

// The hub in the child: reads the boxes' data port from `in`, writes its own data port to `out`,
// serves until `in` is closed.
[[noreturn]] void RunHub(int in, int out) {
  uint16_t boxPort = 0;
  if (read(in, &boxPort, sizeof boxPort) != sizeof boxPort) _exit(1);
  std::vector<Box> boxes;
  for (int i = 0; i < kBoxes; ++i) {
    boxes.push_back(Box{BoxAddress(127, 0, 0, static_cast<uint8_t>(2 + i)), boxPort, i});
  }
  HubConfig config;
  config.listenAddress = "127.0.0.1";
  config.dataPort = 0;
  config.utilityPort = 0;
  {
    CHubBridge bridge(nullptr, config);
    if (!bridge.StartServers()) _exit(2);
    const uint16_t dataPort = bridge.DataPort();
    bridge.Start(boxes, 6);
    if (write(out, &dataPort, sizeof dataPort) != sizeof dataPort) _exit(3);
    char ignored;
    while (read(in, &ignored, 1) > 0) {
    }
    bridge.Stop();
  }
  _exit(0);
}

// Ticks of user and system time of a process, from /proc/<pid>/stat.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atof(field.c_str());
    if (i == 15) stime = std::atof(field.c_str());
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double PeakRssMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

// One viewer: reads lines, turns each data line into its record number and latency.
class Viewer {
 public:
  Viewer(asio::io_context& context, Clock::time_point recordClock, std::atomic<bool>& measuring)
      : socket(context), recordClock(recordClock), measuring(measuring) {}

  void Start(uint16_t port) {
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    Read();
  }

  std::vector<double> latenciesMs;
  std::vector<int64_t> seen;  // record numbers, in arrival order, while measuring

 private:
  void Read() {
    asio::async_read_until(socket, input, '\n', [this](const asio::error_code& error, size_t n) {
      if (error) return;
      const auto arrived = Clock::now();
      std::string line(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + static_cast<long>(n));
      input.consume(n);
      if (!line.empty() && line[0] >= '0' && line[0] <= '9') Count(line, arrived);
      Read();
    });
  }

  void Count(const std::string& line, Clock::time_point arrived) {
    // Skip the date and time, then every box's channels: the first of each is its sequence.
    std::string_view rest(line);
    for (int skip = 0; skip < 2; ++skip) rest.remove_prefix(std::min(rest.size(), rest.find(' ') + 1));
    int64_t record = INT64_MAX;
    for (int value = 0; value < kBoxes * kChannelsPerBox; ++value) {
      double number = 0;
      const size_t used = ParseDouble(rest, number);
      if (used == 0) return;
      if (value % kChannelsPerBox == 0) record = std::min(record, static_cast<int64_t>(number));
      rest.remove_prefix(std::min(rest.size(), used + 1));
    }
    if (!measuring.load()) return;
    seen.push_back(record);
    const auto due = recordClock + (record + 1) * kRecordPeriod;
    latenciesMs.push_back(std::chrono::duration<double, std::milli>(arrived - due).count());
  }

  tcp::socket socket;
  asio::streambuf input;
  Clock::time_point recordClock;
  std::atomic<bool>& measuring;
};

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
  return values[at];
}

void BM_HubLoad(benchmark::State& state) {
  for (auto _ : state) {
    int toHub[2], fromHub[2];
    if (pipe(toHub) != 0 || pipe(fromHub) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t hub = fork();
    if (hub == 0) {
      close(toHub[1]);
      close(fromHub[0]);
      RunHub(toHub[0], fromHub[1]);
    }
    close(toHub[0]);
    close(fromHub[1]);

    sim::SimulatorOptions options = sim::DefaultOptions(kBoxes);
    for (auto& box : options.boxes) {
      box.recordPeriod = kRecordPeriod;
      box.sequenceChannel = 0;
    }
    sim::CBoxSimulator simulator(options);
    std::string error;
    if (!simulator.Start(&error)) {
      state.SkipWithError(error.c_str());
      kill(hub, SIGKILL);
      waitpid(hub, nullptr, 0);
      return;
    }
    const uint16_t boxPort = simulator.Box(0).DataPort();
    uint16_t dataPort = 0;
    if (write(toHub[1], &boxPort, sizeof boxPort) != sizeof boxPort ||
        read(fromHub[0], &dataPort, sizeof dataPort) != sizeof dataPort) {
      state.SkipWithError("the hub did not start");
      kill(hub, SIGKILL);
      waitpid(hub, nullptr, 0);
      return;
    }

    asio::io_context context;
    std::atomic<bool> measuring{false};
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int v = 0; v < kViewers; ++v) {
      viewers.push_back(std::make_unique<Viewer>(context, simulator.Box(0).RecordClock(), measuring));
      viewers.back()->Start(dataPort);
    }
    std::thread reader([&context] { context.run(); });

    std::this_thread::sleep_for(kWarmUp);  // the run connects and publishes its header
    const double cpuBefore = CpuSeconds(hub);
    const auto start = Clock::now();
    measuring = true;
    std::this_thread::sleep_for(std::chrono::seconds(MeasuredSeconds()));
    measuring = false;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuShare = (CpuSeconds(hub) - cpuBefore) / wall;
    const double rss = PeakRssMiB(hub);

    close(toHub[1]);  // the hub stops and ends
    int status = 0;
    waitpid(hub, &status, 0);
    close(fromHub[0]);
    context.stop();
    reader.join();
    simulator.Stop();

    // Accounting over the records every viewer could have seen: the hub emitted record k when
    // any viewer got it; each viewer must have got each such record exactly once, in order.
    std::vector<double> latencies;
    int64_t low = INT64_MIN, high = INT64_MAX, lost = 0, repeated = 0;
    for (auto& viewer : viewers) {
      latencies.insert(latencies.end(), viewer->latenciesMs.begin(), viewer->latenciesMs.end());
      if (viewer->seen.empty()) {
        high = INT64_MIN;  // a viewer that saw nothing: everything counts as lost below
        continue;
      }
      low = std::max(low, viewer->seen.front());
      high = std::min(high, viewer->seen.back());
    }
    std::vector<int64_t> emitted;
    for (auto& viewer : viewers) {
      for (size_t i = 0; i < viewer->seen.size(); ++i) {
        if (i > 0 && viewer->seen[i] <= viewer->seen[i - 1]) ++repeated;
        if (viewer->seen[i] >= low && viewer->seen[i] <= high) emitted.push_back(viewer->seen[i]);
      }
    }
    std::sort(emitted.begin(), emitted.end());
    emitted.erase(std::unique(emitted.begin(), emitted.end()), emitted.end());
    for (auto& viewer : viewers) {
      std::vector<int64_t> own(viewer->seen);
      std::sort(own.begin(), own.end());
      own.erase(std::unique(own.begin(), own.end()), own.end());
      const auto inRange = std::count_if(own.begin(), own.end(), [&](int64_t r) { return r >= low && r <= high; });
      lost += static_cast<int64_t>(emitted.size()) - inRange;
    }
    const int64_t boxRecords = high >= low ? high - low + 1 : 0;
    state.counters["combined_records"] = static_cast<double>(emitted.size());
    state.counters["box_rounds"] = static_cast<double>(boxRecords);  // box records in the window
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["repeated"] = static_cast<double>(repeated);
    state.counters["p50_ms"] = Percentile(latencies, 0.50);
    state.counters["p99_ms"] = Percentile(latencies, 0.99);
    state.counters["hub_cpu_pct"] = 100.0 * cpuShare;
    state.counters["hub_rss_MiB"] = rss;
  }
}
BENCHMARK(BM_HubLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tessamer

BENCHMARK_MAIN();
