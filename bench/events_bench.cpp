// Event stream load: 16 simulated boxes at 1 record/s each, the real hub program combining them
// and serving its status endpoint, and 100 clients of GET /events reading every event.
//
//   this process                                         child process
//   CBoxSimulator: 16 boxes on 127.0.0.2..17 ──TCP──►   tessamer --headless --status-port 0 ...
//   100 event clients (one io_context thread) ◄──SSE──── status endpoint (a thread of its own)
//   prober (main thread): GET /status once a second, a new connection each time
//
// Two phases of the same length: first without event clients (the hub's own cost: the boxes,
// the merge, the prober), then with the 100 streams open. The hub's CPU time comes from
// /proc/<pid>/stat, so it is the hub's alone; the streams' cost is the difference between the
// phases. Each phase reports the slowest /status answer. At the end every client must still be
// connected, none dropped by the hub (its own counter, from /metrics), and each must have had
// as many record events as the others.
//
//   events_bench [--seconds N] [--tessamer PATH]
//
// Linux only: /proc.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "box_simulator.h"
#include "cpu_time.h"
#include "e2e/child_process.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr int kBoxes = 16;
constexpr int kClients = 100;
constexpr std::chrono::milliseconds kRecordPeriod{1000};  // 1 record/s per box
constexpr int kDefaultSeconds = 60;
constexpr auto kStartBound = 15s;
constexpr auto kStopBound = 10s;
constexpr auto kProbePeriod = 1s;
constexpr double kTargetStreamsCpuPercent = 2.0;  // of one core, for the 100 streams
constexpr double kTargetStatusMs = 1000.0;        // a plain /status answered within

struct Options {
  int seconds = kDefaultSeconds;  // each phase
  std::string program;
};

// One GET on a new connection, read to its end; the body, or empty when it did not answer 200.
std::string Get(uint16_t port, const char* path, double& ms) {
  const auto begin = Clock::now();
  asio::io_context context;
  tcp::socket socket(context);
  asio::error_code error;
  socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
  const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
  if (!error) asio::write(socket, asio::buffer(request), error);
  std::string response;
  if (!error) asio::read(socket, asio::dynamic_buffer(response), error);
  ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  if (response.rfind("HTTP/1.1 200 ", 0) != 0) return {};
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : response.substr(body + 4);
}

// A client of GET /events that counts the events it reads. Its io_context's thread only.
class EventClient {
 public:
  explicit EventClient(asio::io_context& context) : socket(context) {}

  bool Connect(uint16_t port) {
    asio::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    if (!error) asio::write(socket, asio::buffer(std::string("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")), error);
    if (error) return false;
    Read();
    return true;
  }
  void Close() {
    asio::error_code ignored;
    socket.close(ignored);
  }

  std::atomic<int64_t> records{0};
  std::atomic<int64_t> health{0};
  std::atomic<bool> open{true};

 private:
  void Read() {
    socket.async_read_some(asio::buffer(chunk), [this](const asio::error_code& error, size_t count) {
      if (error) {
        open = false;
        return;
      }
      pending.append(chunk.data(), count);
      Count();
      Read();
    });
  }
  // Counts the whole events in `pending` by their names and keeps the rest.
  void Count() {
    size_t start = 0;
    for (size_t end; (end = pending.find("\n\n", start)) != std::string::npos; start = end + 2) {
      const std::string_view block(pending.data() + start, end - start);
      if (block.find("\nevent: record\n") != std::string_view::npos) ++records;
      if (block.find("\nevent: health\n") != std::string_view::npos) ++health;
    }
    pending.erase(0, start);
  }

  tcp::socket socket;
  std::array<char, 16384> chunk{};
  std::string pending;
};

struct Phase {
  double seconds = 0;
  double cpuPercent = 0;
  double slowestStatusMs = 0;
  int probes = 0;
  int failedProbes = 0;
};

// Probes /status once a second for `seconds` and measures the hub's CPU meanwhile.
Phase Measure(pid_t hub, uint16_t statusPort, int seconds) {
  Phase phase;
  const double cpuBefore = bench::ProcessCpuSeconds(hub);
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  for (auto next = start; next < end; next += kProbePeriod) {
    std::this_thread::sleep_until(next);
    double ms = 0;
    const bool answered = !Get(statusPort, "/status", ms).empty();
    ++phase.probes;
    phase.failedProbes += answered ? 0 : 1;
    phase.slowestStatusMs = std::max(phase.slowestStatusMs, ms);
  }
  std::this_thread::sleep_until(end);
  phase.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  phase.cpuPercent = 100.0 * (bench::ProcessCpuSeconds(hub) - cpuBefore) / phase.seconds;
  return phase;
}

// The value of a metric line "name value" in an exposition; -1 when it is not there.
double Metric(const std::string& text, const std::string& name) {
  const size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  double value = -1;
  ParseDouble(std::string_view(text).substr(at + name.size() + 2), value);
  return value;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "events_bench: %s\n", why.c_str());
  return 1;
}

int Run(const Options& options) {
  sim::SimulatorOptions simOptions = sim::DefaultOptions(kBoxes);
  for (auto& box : simOptions.boxes) box.recordPeriod = kRecordPeriod;
  sim::CBoxSimulator simulator(simOptions);
  std::string error;
  if (!simulator.Start(&error)) return Fail("the simulator did not start: " + error);

  const std::string logFile = "/tmp/events_bench." + std::to_string(getpid()) + ".log";
  std::vector<std::string> args{"--headless", "--data-port", "0", "--utility-port", "0", "--default-box", "127.0.0.1",
                                "--status-port", "0", "--log", logFile};
  for (int b = 0; b < kBoxes; ++b) {
    const auto& box = simulator.Box(static_cast<size_t>(b));
    args.insert(args.end(), {"--box", box.Address() + ":" + std::to_string(box.DataPort())});
  }
  testkit::ChildProcess hub;
  if (!hub.Start(options.program, args)) return Fail("cannot run " + options.program);
  std::string line;
  int64_t statusPort = 0;
  if (!hub.WaitForPrefix("listening ", line, kStartBound) || line.find(" status=") == std::string::npos ||
      ParseInt(std::string_view(line).substr(line.find(" status=") + 8), statusPort) == 0) {
    return Fail("the hub did not report its status port: " + line + hub.ErrorText());
  }
  if (!hub.WaitForPrefix("headers-complete", line, kStartBound)) return Fail("the boxes' headers did not come");
  const auto port = static_cast<uint16_t>(statusPort);

  std::printf("events_bench: %d boxes at 1 record/s, %d event clients, %d s per phase\n", kBoxes, kClients,
              options.seconds);
  const Phase alone = Measure(hub.Pid(), port, options.seconds);

  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  std::vector<std::unique_ptr<EventClient>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<EventClient>(context));
    if (!clients.back()->Connect(port)) return Fail("an event client could not connect");
  }
  std::thread readers([&context] { context.run(); });
  const Phase streaming = Measure(hub.Pid(), port, options.seconds);
  double ms = 0;
  const std::string metrics = Get(port, "/metrics", ms);
  int closed = 0;  // by the hub, before we close them ourselves
  for (const auto& client : clients) closed += client->open ? 0 : 1;

  asio::post(context, [&clients] {
    for (auto& client : clients) client->Close();
  });
  guard.reset();
  readers.join();
  hub.Signal(SIGINT);
  int exitStatus = -1;
  const bool stopped = hub.WaitExit(exitStatus, kStopBound);
  simulator.Stop();
  std::remove(logFile.c_str());

  int64_t fewest = INT64_MAX, most = 0, healthEvents = 0;
  for (const auto& client : clients) {
    fewest = std::min(fewest, client->records.load());
    most = std::max(most, client->records.load());
    healthEvents += client->health.load();
  }
  const double streamsCpu = streaming.cpuPercent - alone.cpuPercent;
  const double dropped = Metric(metrics, "tessamer_status_event_streams_dropped_total");
  std::printf("  hub CPU without streams        %8.2f %% of a core\n", alone.cpuPercent);
  std::printf("  hub CPU with %d streams       %8.2f %% of a core\n", kClients, streaming.cpuPercent);
  std::printf("  the streams' share             %8.2f %% of a core   (target < %.1f)\n", streamsCpu,
              kTargetStreamsCpuPercent);
  std::printf("  slowest /status without / with %8.1f / %.1f ms      (target < %.0f, %d / %d probes failed)\n",
              alone.slowestStatusMs, streaming.slowestStatusMs, kTargetStatusMs, alone.failedProbes,
              streaming.failedProbes);
  std::printf("  record events per client       %8lld .. %lld (%.2f/s)\n", static_cast<long long>(fewest),
              static_cast<long long>(most), static_cast<double>(most) / streaming.seconds);
  std::printf("  health events per client       %8.1f\n", static_cast<double>(healthEvents) / kClients);
  std::printf("  clients closed by the hub      %8d   dropped (hub's count) %.0f\n", closed, dropped);
  std::printf("  hub stopped on SIGINT          %8s   exit status %d\n", stopped ? "yes" : "no", exitStatus);
  const bool met = streamsCpu < kTargetStreamsCpuPercent && streaming.slowestStatusMs < kTargetStatusMs &&
                   alone.failedProbes == 0 && streaming.failedProbes == 0 && closed == 0 && dropped == 0 &&
                   most > 0 && most - fewest <= 1 && stopped && exitStatus == 0;
  std::printf("  %s\n", met ? "every target met" : "TARGETS MISSED");
  return met ? 0 : 1;
}

bool ParseOptions(int argc, char** argv, Options& options) {
#ifdef TESSAMER_PROGRAM
  options.program = TESSAMER_PROGRAM;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      int64_t seconds = 0;
      const std::string_view value(argv[++i]);
      if (ParseInt(value, seconds) != value.size() || seconds < 1 || seconds > 3600) return false;
      options.seconds = static_cast<int>(seconds);
    } else if (arg == "--tessamer" && i + 1 < argc) {
      options.program = argv[++i];
    } else {
      return false;
    }
  }
  return !options.program.empty();
}

}  // namespace
}  // namespace tessamer

int main(int argc, char** argv) {
  tessamer::Options options;
  if (!tessamer::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: events_bench [--seconds N (1-3600, default 60, each phase)] [--tessamer PATH]\n");
    return 2;
  }
  return tessamer::Run(options);
}
