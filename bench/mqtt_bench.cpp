// Delivery to an MQTT broker, measured against a Mosquitto of its own on 127.0.0.1:
//   1. live latency: a record committed to the outbox → a subscriber has it (p50, p99), at
//      boxes × rate records a second;
//   2. a broker stop of --stop-seconds while live records keep coming, after a backlog of
//      --backlog records (one hour of 16 boxes × 10 a second): how fast the backlog drains once
//      the broker is back, how late live records come meanwhile, records missing (target 0),
//      CPU of the uplink's thread and of the broker per delivered record;
//   3. the pipeline a user would build instead (nc to the data port piped into
//      mosquitto_pub -l -q 1) across the same broker stop: CPU per record, records lost.
// The outbox is the test kit's in-memory one (the recording's commit adds about a millisecond
// at live rates; bench/recording benchmarks measure it). Run by hand:
//   build/bench/mqtt_bench [--boxes 16] [--rate 10] [--live-seconds 10] [--backlog 576000]
//                          [--stop-seconds 10] [--window 64]

#include <asio.hpp>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cpu_time.h"
#include "mqtt/mqtt_uplink.h"
#include "testkit/memory_outbox.h"
#include "testkit/mosquitto_broker.h"
#include "testkit/mqtt_subscriber.h"

using namespace tessamer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kChannelsPerBox = 6;
constexpr const char* kPrefix = "bench/rig";
constexpr std::chrono::seconds kDrainBound{600};  // the backlog's drain is given up after this

struct Options {
  int boxes = 16;
  int rate = 10;  // records a second per box
  int liveSeconds = 10;
  uint64_t backlog = 576000;
  int stopSeconds = 10;
  size_t window = kMqttWindow;
};

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const long value = std::atol(argv[i + 1]);
    if (key == "--boxes") options.boxes = static_cast<int>(value);
    if (key == "--rate") options.rate = static_cast<int>(value);
    if (key == "--live-seconds") options.liveSeconds = static_cast<int>(value);
    if (key == "--backlog") options.backlog = static_cast<uint64_t>(value);
    if (key == "--stop-seconds") options.stopSeconds = static_cast<int>(value);
    if (key == "--window") options.window = static_cast<size_t>(value);
  }
  return options;
}

// User and system CPU of a process or thread, from its /proc stat file.
std::chrono::milliseconds CpuOf(const std::string& statFile) {
  return std::chrono::milliseconds(static_cast<int64_t>(bench::StatCpuSeconds(statFile) * 1000));
}

std::chrono::milliseconds CpuOfPid(pid_t pid) {
  return pid > 0 ? CpuOf("/proc/" + std::to_string(pid) + "/stat") : std::chrono::milliseconds{};
}

// The uplink's thread of this process, found by its name.
std::chrono::milliseconds UplinkThreadCpu() {
  std::chrono::milliseconds total{};
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "mqtt-uplink") total += CpuOf((task.path() / "stat").string());
  }
  return total;
}

// Arrival of each seq at the subscriber, and commits of each at the outbox.
class CTimeline {
 public:
  explicit CTimeline(uint64_t capacity) : committed(capacity + 1), arrived(capacity + 1) {}
  void Committed(uint64_t seq, Clock::time_point at = Clock::now()) { committed.at(seq) = at; }
  void Arrived(uint64_t seq) {
    if (seq >= arrived.size()) return;
    if (arrived[seq].load() == 0) {
      arrived[seq] = Clock::now().time_since_epoch().count();
      ++distinct;
    }
  }
  uint64_t Distinct() const { return distinct; }
  bool Has(uint64_t seq) const { return arrived.at(seq).load() != 0; }
  bool WaitFor(uint64_t first, uint64_t last, std::chrono::seconds bound) const {
    const auto deadline = Clock::now() + bound;
    for (uint64_t seq = first; seq <= last; ++seq) {
      while (!Has(seq)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
      }
    }
    return true;
  }
  uint64_t Missing(uint64_t first, uint64_t last) const {
    uint64_t missing = 0;
    for (uint64_t seq = first; seq <= last; ++seq) missing += Has(seq) ? 0 : 1;
    return missing;
  }
  // Latencies in ms of the seqs from `first` to `last` that arrived, sorted.
  std::vector<double> Latencies(uint64_t first, uint64_t last) const {
    std::vector<double> ms;
    for (uint64_t seq = first; seq <= last; ++seq) {
      if (!Has(seq)) continue;
      const Clock::time_point at{Clock::duration(arrived[seq].load())};
      ms.push_back(std::chrono::duration<double, std::milli>(at - committed[seq]).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms;
  }
  Clock::time_point ArrivedAt(uint64_t seq) const {
    return Clock::time_point{Clock::duration(arrived.at(seq).load())};
  }

 private:
  std::vector<Clock::time_point> committed;
  std::vector<std::atomic<Clock::rep>> arrived;
  std::atomic<uint64_t> distinct{0};
};

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * (sorted.size() - 1)))];
}

// The seq of a data payload ({"seq":N,...}) or of a pipeline line ("N ..."); 0 for none.
uint64_t SeqOf(const std::string& payload) {
  const char* text = payload.c_str();
  if (payload.compare(0, 7, "{\"seq\":") == 0) text += 7;
  return std::strtoull(text, nullptr, 10);
}

// Commits records at the live rate on a thread of its own until stopped.
class CLiveSource {
 public:
  CLiveSource(testkit::MemoryOutbox& outbox, int64_t header, CTimeline& timeline, int perSecond)
      : thread([&, header, perSecond] {
          const auto period = std::chrono::nanoseconds(1000000000 / perSecond);
          auto next = Clock::now();
          while (!stop) {
            next += period;
            std::this_thread::sleep_until(next);  // the pace of the boxes
            const Clock::time_point at = Clock::now();
            last = outbox.Commit(header, 1);
            timeline.Committed(last, at);
          }
        }) {}
  ~CLiveSource() { Stop(); }
  void Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  uint64_t Last() const { return last; }

 private:
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> last{0};
  std::thread thread;
};

MqttSettings SettingsFor(const testkit::MosquittoBroker& broker, size_t window) {
  MqttSettings settings;
  settings.window = window;
  settings.broker = MqttBroker{false, "127.0.0.1", broker.Port()};
  settings.topicPrefix = kPrefix;
  settings.clientId = "tessamer-bench";
  settings.timings.longestRetry = 2s;  // the return is found within 2 s (the default: 60 s)
  return settings;
}

bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "mqtt_bench: %s\n", what);
  return ok;
}

// The pipeline: a data port writing one line per record at the live rate, nc reading it into
// mosquitto_pub -l -q 1; the broker stopped for `stopSeconds` in the middle.
int Pipeline(const Options& options, testkit::MosquittoBroker& broker) {
  const int perSecond = options.boxes * options.rate;
  const uint64_t total = static_cast<uint64_t>(perSecond) * (options.stopSeconds + 10);
  CTimeline timeline(total);
  testkit::MqttSubscriber watcher;
  watcher.keepMessages = false;
  watcher.onMessage = [&](const testkit::MqttMessage& m) { timeline.Arrived(SeqOf(m.payload)); };
  std::string error;
  if (!Check(watcher.Start(broker.Port(), "pipe-watch", "bench/pipe", error), error.c_str())) {
    return 1;
  }

  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address_v4("127.0.0.1"), 0});
  const std::string command = "nc 127.0.0.1 " + std::to_string(acceptor.local_endpoint().port()) +
                              " | mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.Port()) +
                              " -i pipe-pub -t bench/pipe -l -q 1";
  testkit::ChildProcess shell;
  if (!Check(shell.Start("/bin/sh", {"-c", command}), "the pipeline did not start")) return 1;
  asio::ip::tcp::socket port(context);
  acceptor.accept(port);

  std::string values;
  for (int i = 0; i < options.boxes * kChannelsPerBox; ++i) values += " 1234.5678";
  const auto period = std::chrono::nanoseconds(1000000000 / perSecond);
  auto next = Clock::now();
  for (uint64_t seq = 1; seq <= total; ++seq) {
    if (seq == static_cast<uint64_t>(perSecond) * 5) broker.Stop();
    if (seq == static_cast<uint64_t>(perSecond) * (5 + options.stopSeconds)) broker.Start(error);
    next += period;
    std::this_thread::sleep_until(next);
    const std::string line = std::to_string(seq) + values + "\r\n";
    asio::write(port, asio::buffer(line));
  }
  timeline.WaitFor(total, total, 10s);
  std::chrono::milliseconds cpu{};
  std::ifstream children("/proc/" + std::to_string(shell.Pid()) + "/task/" +
                         std::to_string(shell.Pid()) + "/children");
  for (pid_t pid = 0; children >> pid;) cpu += CpuOfPid(pid);
  port.close();
  int status = 0;
  shell.WaitExit(status, 10s);
  std::printf("pipeline nc | mosquitto_pub -l -q 1: %" PRIu64 " records, %" PRIu64
              " lost across the %d s broker stop, CPU %.1f us/record (nc + mosquitto_pub)\n",
              total, timeline.Missing(1, total), options.stopSeconds,
              1000.0 * static_cast<double>(cpu.count()) / static_cast<double>(total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  if (testkit::MosquittoBroker::Program().empty()) {
    std::fprintf(stderr, "mqtt_bench: %s\n", testkit::MosquittoBroker::kMissing);
    return 1;
  }
  const int perSecond = options.boxes * options.rate;
  const uint64_t capacity = options.backlog + static_cast<uint64_t>(perSecond) *
                                                  (options.liveSeconds + options.stopSeconds + 700);
  testkit::MosquittoBroker broker;
  std::string error;
  if (!Check(broker.Start(error), error.c_str())) return 1;
  CTimeline timeline(capacity);
  testkit::MqttSubscriber watcher;
  watcher.keepMessages = false;
  watcher.onMessage = [&](const testkit::MqttMessage& m) {
    if (m.topic == std::string(kPrefix) + "/data") timeline.Arrived(SeqOf(m.payload));
  };
  if (!Check(watcher.Start(broker.Port(), "bench-watch", std::string(kPrefix) + "/#", error),
             error.c_str())) {
    return 1;
  }
  auto outbox = std::make_shared<testkit::MemoryOutbox>();
  const int64_t header = outbox->AddHeader(static_cast<size_t>(options.boxes * kChannelsPerBox));
  outbox->SetCursor(kMqttCursorName, 0);
  testkit::Recorder<std::string> lines;
  auto uplink = CMqttUplink::Start(SettingsFor(broker, options.window), outbox, lines.Adder(), error);
  if (!Check(uplink != nullptr, error.c_str())) return 1;
  lines.WaitForMatching([](const std::string& l) { return l.rfind("mqtt connected", 0) == 0; });

  // 1. Live.
  std::printf("live: %d boxes x %d records/s = %d records/s, %d channels, %d s\n", options.boxes,
              options.rate, perSecond, options.boxes * kChannelsPerBox, options.liveSeconds);
  uint64_t liveLast = 0;
  {
    CLiveSource live(*outbox, header, timeline, perSecond);
    std::this_thread::sleep_for(std::chrono::seconds(options.liveSeconds));
    live.Stop();
    liveLast = live.Last();
  }
  if (!Check(timeline.WaitFor(1, liveLast, 30s), "live records did not all arrive")) return 1;
  const std::vector<double> live = timeline.Latencies(1, liveLast);
  std::printf("  latency commit -> subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu)\n",
              Percentile(live, 0.5), Percentile(live, 0.99), live.back(), live.size());

  // 2. The broker away; a backlog; live records go on; the broker back.
  const auto cpuBefore = UplinkThreadCpu();
  broker.Stop();
  const uint64_t backlogFirst = liveLast + 1;
  outbox->Commit(header, options.backlog);
  const uint64_t backlogLast = backlogFirst + options.backlog - 1;
  for (uint64_t seq = backlogFirst; seq <= backlogLast; seq += 1) timeline.Committed(seq);
  CLiveSource during(*outbox, header, timeline, perSecond);
  std::this_thread::sleep_for(std::chrono::seconds(options.stopSeconds));
  const auto connected = [](const std::string& l) { return l.rfind("mqtt connected", 0) == 0; };
  const size_t connectedBefore = lines.CountIf(connected);
  if (!Check(broker.Start(error), error.c_str())) return 1;
  lines.WaitForMatching(connected, connectedBefore + 1, 30s);
  const auto back = Clock::now();
  const auto brokerCpuBefore = CpuOfPid(broker.Pid());
  const bool drained = timeline.WaitFor(backlogFirst, backlogLast, kDrainBound);
  const auto drainedAt = timeline.ArrivedAt(backlogLast);
  const auto brokerCpu = CpuOfPid(broker.Pid()) - brokerCpuBefore;
  std::this_thread::sleep_for(2s);  // live records keep coming a while after the backlog
  during.Stop();
  const uint64_t last = during.Last();
  timeline.WaitFor(backlogLast + 1, last, 30s);
  const auto cpu = UplinkThreadCpu() - cpuBefore;
  const double seconds = std::chrono::duration<double>(drainedAt - back).count();
  std::printf("outage: broker stopped %d s with a backlog of %" PRIu64
              " records, live records on meanwhile\n", options.stopSeconds, options.backlog);
  std::printf("  backlog drained in %.2f s after the reconnection: %.0f records/s%s\n", seconds,
              static_cast<double>(options.backlog) / seconds, drained ? "" : " (NOT drained)");
  const std::vector<double> behind = timeline.Latencies(backlogLast + 1, last);
  std::printf("  live records during the outage and drain: %zu, latest arrival %.0f ms after "
              "commit; after the drain p50 %.2f ms\n", behind.size(),
              behind.empty() ? 0.0 : behind.back(),
              Percentile(timeline.Latencies(last - static_cast<uint64_t>(perSecond), last), 0.5));
  std::printf("  missing at the subscriber: %" PRIu64 " of %" PRIu64 "\n",
              timeline.Missing(1, last), last);
  const uint64_t delivered = last - liveLast;
  std::printf("  CPU per delivered record: uplink thread %.2f us, broker %.2f us (drain)\n",
              1000.0 * static_cast<double>(cpu.count()) / static_cast<double>(delivered),
              1000.0 * static_cast<double>(brokerCpu.count()) /
                  static_cast<double>(options.backlog));
  uplink->Stop();
  watcher.Stop();

  // 3. The pipeline a user would build instead.
  return Pipeline(options, broker);
}
