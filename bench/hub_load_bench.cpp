// End-to-end load: 16 simulated boxes at 50 records/s each, the real hub program combining them,
// 100 viewers reading every combined record.
//
//   this process                                       child process
//   CBoxSimulator: 16 boxes on 127.0.0.2..17 ──TCP──►  tessamer --headless --box ... (x16)
//     channel 0 of each box = its record number k          │ data server
//   100 viewers (one io_context thread) ◄──TCP──────────────┘
//   hub output reader (one thread): "listening ...", "stopped", EOF
//
// Every combined line carries each box's record number. The hub emits a line once every box has
// delivered a new record, so within the lines every box's number rises, and a line is named by
// its smallest number. Accounted over the measured time, at every viewer: lines some viewer got
// that another did not (lost), lines behind the one before (out of order), the same line again
// (the hub's deliberate repeat of a silent run), and box records that no line carried (merged
// away at the hub). Latency runs from the box's send of the newest record a line carries to the
// viewer's receipt, both on this process's steady clock: the send as a tap (one extra reader on
// every box, beside the hub) sees it arrive. The same from the moment the simulator was due to
// send is shown as well; it adds the simulator's own lateness.
// Lines of records due before the measured time began are left out: a run's first records wait
// at the hub until every header is in and then go out in a burst, shown apart as the start-up.
// The hub's CPU time and peak RSS come from /proc/<pid>, so they are the hub's alone.
// With --status-port the hub serves its status endpoint there (0: any free port) and a scraper
// thread fetches GET /status and GET /metrics from it once a second while measuring, as a
// monitoring system would; the figures then include the endpoint's cost. With --record FILE the
// hub keeps its job recording there (a file of its own each time: it is removed first); the
// figures then include the recording's thread and its disk writes, and the recording's own
// figures (records, size) are shown after the run.
//
//   hub_load_bench [--seconds N] [--tessamer PATH] [--status-port P] [--record FILE]
//
// Linux only: posix_spawn, a pipe and /proc.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "box_simulator.h"
#include "cpu_time.h"
#include "support/number_text.h"
#if defined(TESSAMER_WITH_RECORDING)
#include "recording/sqlite_db.h"
#endif

extern char** environ;

namespace tessamer {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr int kBoxes = 16;
constexpr int kViewers = 100;
constexpr std::chrono::milliseconds kRecordPeriod{20};  // 50 records/s per box
constexpr int kChannelsPerBox = 4;                        // the simulator's default channels
constexpr int kChannelLimit = 6;
constexpr int kDefaultSeconds = 60;
constexpr auto kStartBound = 15s;    // the hub listens, every viewer has its first data line
constexpr auto kStopBound = 10s;     // SIGINT to the hub's exit
constexpr double kTargetP99Ms = 5.0;
constexpr double kTargetCpuPercent = 25.0;
constexpr double kTargetRssMiB = 50.0;
constexpr auto kScrapePeriod = 1s;

using Numbers = std::array<int64_t, kBoxes>;  // each box's record number in one combined line

struct Options {
  int seconds = kDefaultSeconds;
  std::string program;
  int statusPort = -1;  // -1: no status endpoint
  std::string recordFile;  // empty: no recording
};

std::string ProgramNextTo(const char* argv0) {
  const std::string self(argv0);
  const size_t slash = self.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
  for (const std::string& candidate : {folder + "/tessamer", folder + "/../src/app/tessamer"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool ParseOptions(int argc, char** argv, Options& options) {
#ifdef TESSAMER_PROGRAM
  options.program = TESSAMER_PROGRAM;  // where this build put it
#endif
  if (options.program.empty() || access(options.program.c_str(), X_OK) != 0) options.program = ProgramNextTo(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      int64_t seconds = 0;
      const std::string_view value(argv[++i]);
      if (ParseInt(value, seconds) != value.size() || seconds < 1 || seconds > 3600) return false;
      options.seconds = static_cast<int>(seconds);
    } else if (arg == "--tessamer" && i + 1 < argc) {
      options.program = argv[++i];
    } else if (arg == "--status-port" && i + 1 < argc) {
      int64_t port = 0;
      const std::string_view value(argv[++i]);
      if (ParseInt(value, port) != value.size() || port < 0 || port > 65535) return false;
      options.statusPort = static_cast<int>(port);
    } else if (arg == "--record" && i + 1 < argc) {
      options.recordFile = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// The hub program as a child: its standard output read line by line on a thread of ours.
// Threads: the reader thread appends lines; the main thread waits on `changed` and reads them.
class HubProcess {
 public:
  HubProcess() = default;
  HubProcess(const HubProcess&) = delete;
  HubProcess& operator=(const HubProcess&) = delete;
  ~HubProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      Reap();
    }
    if (reader.joinable()) reader.join();
  }

  bool Start(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
      pid = -1;
      close(out[0]);
      return false;
    }
    reader = std::thread([this, fd = out[0]] { ReadOutput(fd); });
    return true;
  }

  pid_t Pid() const { return pid; }

  // Waits for an output line that begins with `prefix`; false at the child's end or the bound.
  bool WaitForPrefix(const std::string& prefix, std::string& line, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    const bool found = changed.wait_for(lock, bound, [&] { return Find(prefix, line) || ended; });
    return found && Find(prefix, line);
  }

  // Waits for the end of the child's output (it has exited) for at most `bound`.
  bool WaitForEnd(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, bound, [&] { return ended; });
  }

  // Reaps the child; its exit status, or -1 when it did not exit normally.
  int Reap() {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  void ReadOutput(int fd) {
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      pending.append(buffer, static_cast<size_t>(n));
      std::lock_guard guard(mutex);
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        lines.push_back(pending.substr(0, end));
      }
      changed.notify_all();
    }
    close(fd);
    std::lock_guard guard(mutex);
    ended = true;
    changed.notify_all();
  }

  bool Find(const std::string& prefix, std::string& line) const {
    for (const auto& candidate : lines) {
      if (candidate.rfind(prefix, 0) == 0) {
        line = candidate;
        return true;
      }
    }
    return false;
  }

  pid_t pid = -1;
  std::thread reader;
  std::mutex mutex;  // guards lines and ended
  std::condition_variable changed;
  std::vector<std::string> lines;
  bool ended = false;
};

double PeakRssMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    int64_t kib = 0;
    if (line.rfind("VmHWM:", 0) == 0 && ParseInt(std::string_view(line).substr(6), kib) > 0) {
      return static_cast<double>(kib) / 1024.0;
    }
  }
  return 0;
}

// Reads `count` values after the date and time of a data line, keeping every `stride`-th one (the
// record numbers). False when the line holds fewer values.
bool RecordNumbers(std::string_view line, int count, int stride, int64_t* numbers) {
  for (int skip = 0; skip < 2; ++skip) {
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return false;
    line.remove_prefix(blank + 1);
  }
  for (int value = 0; value < count; ++value) {
    double number = 0;
    const size_t used = ParseDouble(line, number);
    if (used == 0) return false;
    if (value % stride == 0) numbers[value / stride] = static_cast<int64_t>(number);
    line.remove_prefix(used);
  }
  return true;
}

// What every reader shares. Touched on the readers' io_context thread only, except `measuring`.
struct Tally {
  explicit Tally(const sim::CBoxSimulator& simulator) {
    for (int b = 0; b < kBoxes; ++b) recordClock[b] = simulator.Box(static_cast<size_t>(b)).RecordClock();
  }
  Clock::time_point Due(int box, int64_t record) const { return recordClock[box] + (record + 1) * kRecordPeriod; }

  std::array<Clock::time_point, kBoxes> recordClock;
  std::atomic<bool> measuring{false};
  std::atomic<int64_t> firstMeasured{INT64_MAX};  // lines named below it are the start-up's
  std::mutex mutex;  // guards viewersWithData, which the main thread waits on
  std::condition_variable gotData;
  int viewersWithData = 0;
  std::unordered_map<int64_t, Numbers> lines;  // every combined line seen, by its name
  std::vector<double> latenciesMs;             // one per line received while measuring
  std::vector<double> sendLatenciesMs;         // the same from the box's send, where the taps saw it
  std::vector<double> tapLatenessMs;           // box lines at the taps, after their due time
  std::array<std::vector<Clock::time_point>, kBoxes> sentAt;  // by record number, from the taps
  int64_t unseenSends = 0;                     // lines with a record no tap saw
  double startUpWorstMs = 0;                   // the latest line before the measured time
  int64_t shortLines = 0;                      // data lines without every box's values
};

// Reads lines from one connection and hands each data line to `onLine` with its arrival time.
class LineReader {
 public:
  using Handler = std::function<void(const std::string&, Clock::time_point)>;
  LineReader(asio::io_context& context, Handler onLine) : socket(context), onLine(std::move(onLine)) {}

  bool Connect(const std::string& address, uint16_t port) {
    asio::error_code error;
    socket.connect({asio::ip::make_address(address), port}, error);
    if (error) return false;
    Read();
    return true;
  }
  void Close() {
    asio::error_code ignored;
    socket.close(ignored);
  }

 private:
  void Read() {
    asio::async_read_until(socket, input, '\n', [this](const asio::error_code& error, size_t n) {
      if (error) return;
      const auto arrived = Clock::now();
      std::string line(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + static_cast<long>(n));
      input.consume(n);
      if (!line.empty() && line[0] >= '0' && line[0] <= '9') onLine(line, arrived);
      Read();
    });
  }

  tcp::socket socket;
  asio::streambuf input;
  Handler onLine;
};

// One viewer of the hub: the names of the lines it got while measuring, in arrival order.
class Viewer {
 public:
  Viewer(asio::io_context& context, Tally& tally)
      : reader(context, [this](const std::string& line, Clock::time_point at) { OnLine(line, at); }),
        tally(tally) {}
  bool Connect(uint16_t port) { return reader.Connect("127.0.0.1", port); }
  void Close() { reader.Close(); }

  std::vector<int64_t> seen;

 private:
  void OnLine(const std::string& line, Clock::time_point arrived) {
    if (!gotData) {
      gotData = true;
      std::lock_guard guard(tally.mutex);
      ++tally.viewersWithData;
      tally.gotData.notify_all();
    }
    const bool measuring = tally.measuring.load();
    Numbers numbers;
    if (!RecordNumbers(line, kBoxes * kChannelsPerBox, kChannelsPerBox, numbers.data())) {
      if (measuring) ++tally.shortLines;
      return;
    }
    const int64_t name = *std::min_element(numbers.begin(), numbers.end());
    Clock::time_point newest = tally.Due(0, numbers[0]);
    for (int b = 1; b < kBoxes; ++b) newest = std::max(newest, tally.Due(b, numbers[b]));
    const double latencyMs = std::chrono::duration<double, std::milli>(arrived - newest).count();
    if (!measuring && tally.firstMeasured.load() == INT64_MAX) tally.startUpWorstMs = std::max(tally.startUpWorstMs, latencyMs);
    if (!measuring || name < tally.firstMeasured.load()) return;
    tally.latenciesMs.push_back(latencyMs);
    Clock::time_point sent{};
    for (int b = 0; b < kBoxes; ++b) {
      const auto& sends = tally.sentAt[b];
      const auto at = numbers[b] >= 0 && static_cast<size_t>(numbers[b]) < sends.size() ? sends[numbers[b]] : Clock::time_point{};
      if (at == Clock::time_point{}) {
        ++tally.unseenSends;
        sent = Clock::time_point{};
        break;
      }
      sent = std::max(sent, at);
    }
    if (sent != Clock::time_point{}) {
      tally.sendLatenciesMs.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
    }
    tally.lines.emplace(name, numbers);
    seen.push_back(name);
  }

  LineReader reader;
  Tally& tally;
  bool gotData = false;
};

// A second reader of one box: when its lines reach a reader, against their due time.
class Tap {
 public:
  Tap(asio::io_context& context, Tally& tally, int box)
      : reader(context, [this](const std::string& line, Clock::time_point at) { OnLine(line, at); }),
        tally(tally),
        box(box) {}
  bool Connect(const std::string& address, uint16_t port) { return reader.Connect(address, port); }
  void Close() { reader.Close(); }

 private:
  void OnLine(const std::string& line, Clock::time_point arrived) {
    int64_t record = 0;
    if (!RecordNumbers(line, 1, 1, &record) || record < 0) return;
    auto& sends = tally.sentAt[box];
    if (sends.size() <= static_cast<size_t>(record)) sends.resize(static_cast<size_t>(record) + 1);
    sends[record] = arrived;
    if (!tally.measuring.load()) return;
    tally.tapLatenessMs.push_back(std::chrono::duration<double, std::milli>(arrived - tally.Due(box, record)).count());
  }

  LineReader reader;
  Tally& tally;
  int box;
};

// Fetches GET /status and GET /metrics from the hub's status endpoint once a kScrapePeriod, each
// over a connection of its own (HTTP/1.0), until stopped.
// Threads: its own thread scrapes; Stop and the figures are for the main thread after Stop.
class StatusScraper {
 public:
  explicit StatusScraper(uint16_t port) : port(port), thread([this] { Scrape(); }) {}
  StatusScraper(const StatusScraper&) = delete;
  StatusScraper& operator=(const StatusScraper&) = delete;
  ~StatusScraper() { Stop(); }

  void Stop() {
    {
      std::lock_guard guard(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }

  int64_t scrapes = 0;        // pairs of requests answered in full
  int64_t failures = 0;       // requests without a whole 200 answer
  int64_t bytes = 0;          // bodies and headers received
  std::vector<double> times;  // milliseconds per request

 private:
  void Scrape() {
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, kScrapePeriod, [this] { return stopping; })) {
      lock.unlock();
      const bool status = Get("/status");
      const bool metrics = Get("/metrics");
      scrapes += status && metrics ? 1 : 0;
      lock.lock();
    }
  }

  bool Get(const char* path) {
    const auto begin = Clock::now();
    asio::io_context context;
    tcp::socket socket(context);
    asio::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
    if (!error) asio::write(socket, asio::buffer(request), error);
    std::string response;
    if (!error) asio::read(socket, asio::dynamic_buffer(response), error);  // to the end of the stream
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    bytes += static_cast<int64_t>(response.size());
    const bool ok = (!error || error == asio::error::eof) && response.rfind("HTTP/1.1 200 ", 0) == 0;
    failures += ok ? 0 : 1;
    return ok;
  }

  const uint16_t port;
  std::mutex mutex;  // guards stopping
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;  // last: starts once the rest is ready
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
  return values[at];
}

struct Accounting {
  int64_t published = 0;   // distinct lines some viewer got, within the common range
  int64_t lost = 0;        // (line, viewer) pairs missing
  int64_t outOfOrder = 0;  // lines behind the one before at a viewer
  int64_t repeats = 0;     // a line again right after itself
  int64_t merged = 0;      // box records in the range that no line carried
  int64_t rounds = 0;      // box records per box in the range
};

// Over the names every viewer's measured time covers: each viewer must hold every line any
// viewer got, once and in order.
Accounting Account(const std::vector<std::unique_ptr<Viewer>>& viewers, const Tally& tally) {
  Accounting result;
  int64_t low = INT64_MIN, high = INT64_MAX;
  for (const auto& viewer : viewers) {
    if (viewer->seen.empty()) {
      result.lost = static_cast<int64_t>(tally.lines.size()) * kViewers;
      return result;
    }
    low = std::max(low, viewer->seen.front());
    high = std::min(high, viewer->seen.back());
  }
  if (low > high) return result;
  std::set<int64_t> published;
  for (const auto& [name, numbers] : tally.lines) {
    if (name >= low && name <= high) published.insert(name);
  }
  result.published = static_cast<int64_t>(published.size());
  for (const auto& viewer : viewers) {
    std::set<int64_t> own;
    for (size_t i = 0; i < viewer->seen.size(); ++i) {
      const int64_t name = viewer->seen[i];
      if (i > 0 && name == viewer->seen[i - 1]) ++result.repeats;
      if (i > 0 && name < viewer->seen[i - 1]) ++result.outOfOrder;
      if (name >= low && name <= high) own.insert(name);
    }
    result.lost += result.published - static_cast<int64_t>(own.size());
  }
  // Each box's records from the first to the last line of the range: the ones no line carried.
  const Numbers& first = tally.lines.at(*published.begin());
  const Numbers& last = tally.lines.at(*published.rbegin());
  for (int b = 0; b < kBoxes; ++b) {
    std::set<int64_t> carried;
    for (const int64_t name : published) carried.insert(tally.lines.at(name)[b]);
    const int64_t span = last[b] - first[b] + 1;
    result.merged += span - static_cast<int64_t>(carried.size());
    result.rounds = std::max(result.rounds, span);
  }
  return result;
}

struct Measurement {
  const StatusScraper* scraper = nullptr;  // the status endpoint's scrapes, if any
  double seconds = 0;
  double cpuPercent = 0;
  double rssMiB = 0;
  int hubExit = -1;
  bool stopped = false;
};

void PrintRow(const char* name, const std::string& value, const std::string& target, bool met) {
  std::printf("  %-40s %14s   %-14s %s\n", name, value.c_str(), target.c_str(), target.empty() ? "" : met ? "met" : "MISSED");
}

std::string Fixed(double value, int decimals) { return FormatFixed(value, decimals); }
std::string Count(int64_t value) { return std::to_string(value); }

// The recording's own figures once the hub has stopped: every record it published is there.
void ReportRecording(const std::string& file, int64_t published) {
#if defined(TESSAMER_WITH_RECORDING)
  CSqliteDb db;
  const bool open = db.Open(file, true);
  const int64_t records = open ? db.QueryInteger("SELECT count(*) FROM records").value_or(0) : 0;
  std::error_code ignored;
  const auto bytes = std::filesystem::file_size(file, ignored);
  PrintRow("recorded records (the start-up's too)", Count(records), ">= published", records >= published);
  PrintRow("recording file size (MiB)", Fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 1), "", true);
#else
  (void)published;
  PrintRow("recording", file + ": not read (built without SQLite)", "", true);
#endif
}

bool Report(const Options& options, const Measurement& m, const Accounting& a, const Tally& tally) {
  const double p50 = Percentile(tally.sendLatenciesMs, 0.50);
  const double p99 = Percentile(tally.sendLatenciesMs, 0.99);
  const double worst = tally.sendLatenciesMs.empty() ? 0 : *std::max_element(tally.sendLatenciesMs.begin(), tally.sendLatenciesMs.end());
  const int64_t lost = a.lost + a.outOfOrder + a.merged;
  std::printf("\nhub load: %d boxes x %d records/s, %d viewers, channel limit %d, %s s measured\n", kBoxes,
              static_cast<int>(1000 / kRecordPeriod.count()), kViewers, kChannelLimit, Fixed(m.seconds, 1).c_str());
  std::printf("  %-40s %14s   %-14s %s\n", "", "measured", "target", "");
  PrintRow("combined records published", Count(a.published), "", true);
  PrintRow("box records per box in that time", Count(a.rounds), "", true);
  PrintRow("records lost (all kinds below)", Count(lost), "0", lost == 0 && a.published > 0);
  PrintRow("  missing at a viewer", Count(a.lost), "", true);
  PrintRow("  out of order at a viewer", Count(a.outOfOrder), "", true);
  PrintRow("  box records no combined line carried", Count(a.merged), "", true);
  PrintRow("deliberate repeats (silent boxes)", Count(a.repeats), "", true);
  PrintRow("data lines without every box's values", Count(tally.shortLines), "", true);
  PrintRow("latency p50, box send -> viewer (ms)", Fixed(p50, 3), "", true);
  PrintRow("latency p99, box send -> viewer (ms)", Fixed(p99, 3), "< 5", p99 < kTargetP99Ms && !tally.sendLatenciesMs.empty());
  PrintRow("latency max, box send -> viewer (ms)", Fixed(worst, 3), "", true);
  const auto slow = std::count_if(tally.sendLatenciesMs.begin(), tally.sendLatenciesMs.end(), [](double ms) { return ms >= kTargetP99Ms; });
  const double slowShare = tally.sendLatenciesMs.empty() ? 0 : 100.0 * static_cast<double>(slow) / static_cast<double>(tally.sendLatenciesMs.size());
  PrintRow("lines at a viewer 5 ms or more after send, %", Fixed(slowShare, 3), "", true);
  PrintRow("lines whose box send no tap saw", Count(tally.unseenSends), "", true);
  PrintRow("latency p50, box due -> viewer (ms)", Fixed(Percentile(tally.latenciesMs, 0.50), 3), "", true);
  PrintRow("latency p99, box due -> viewer (ms)", Fixed(Percentile(tally.latenciesMs, 0.99), 3), "", true);
  PrintRow("start-up: latest line before measuring (ms)", Fixed(tally.startUpWorstMs, 1), "", true);
  PrintRow("simulator lateness p50 at taps (ms)", Fixed(Percentile(tally.tapLatenessMs, 0.50), 3), "", true);
  PrintRow("simulator lateness p99 at taps (ms)", Fixed(Percentile(tally.tapLatenessMs, 0.99), 3), "", true);
  PrintRow("hub CPU, % of one core", Fixed(m.cpuPercent, 1), "< 25", m.cpuPercent < kTargetCpuPercent);
  PrintRow("hub peak RSS (VmHWM, MiB)", Fixed(m.rssMiB, 1), "< 50", m.rssMiB < kTargetRssMiB);
  if (m.scraper != nullptr) {
    const StatusScraper& s = *m.scraper;
    PrintRow("status endpoint scrapes (/status + /metrics)", Count(s.scrapes), "", true);
    PrintRow("  requests without a 200 answer", Count(s.failures), "0", s.failures == 0);
    PrintRow("  bytes per scrape", Count(s.scrapes > 0 ? s.bytes / s.scrapes : 0), "", true);
    PrintRow("  request time p50 (ms)", Fixed(Percentile(s.times, 0.50), 3), "", true);
    PrintRow("  request time max (ms)", Fixed(s.times.empty() ? 0 : *std::max_element(s.times.begin(), s.times.end()), 3), "", true);
  }
  PrintRow("hub stopped on SIGINT, exit status", m.stopped ? Count(m.hubExit) : std::string("no"), "0", m.stopped && m.hubExit == 0);
  if (!options.recordFile.empty()) ReportRecording(options.recordFile, a.published);
  const bool met = lost == 0 && a.published > 0 && !tally.sendLatenciesMs.empty() && p99 < kTargetP99Ms && m.cpuPercent < kTargetCpuPercent &&
                   m.rssMiB < kTargetRssMiB && m.stopped && m.hubExit == 0 &&
                   (m.scraper == nullptr || (m.scraper->failures == 0 && m.scraper->scrapes > 0));
  std::printf("  %s (hub: %s)\n", met ? "every target met" : "TARGETS MISSED", options.program.c_str());
  return met;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "hub_load_bench: %s\n", why.c_str());
  return 1;
}

int Run(const Options& options) {
  sim::SimulatorOptions simOptions = sim::DefaultOptions(kBoxes);
  for (auto& box : simOptions.boxes) {
    box.recordPeriod = kRecordPeriod;
    box.sequenceChannel = 0;
  }
  sim::CBoxSimulator simulator(simOptions);
  std::string error;
  if (!simulator.Start(&error)) return Fail("the simulator did not start: " + error);

  const std::string logFile = "/tmp/hub_load_bench." + std::to_string(getpid()) + ".log";
  std::vector<std::string> args{options.program, "--headless", "--data-port", "0", "--utility-port", "0",
                                "--default-box", "127.0.0.1", "--channels", std::to_string(kChannelLimit),
                                "--log", logFile};
  if (options.statusPort >= 0) {
    args.push_back("--status-port");
    args.push_back(std::to_string(options.statusPort));
  }
  if (!options.recordFile.empty()) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((options.recordFile + suffix).c_str());
    args.push_back("--record");
    args.push_back(options.recordFile);
  }
  for (int b = 0; b < kBoxes; ++b) {
    const auto& box = simulator.Box(static_cast<size_t>(b));
    args.push_back("--box");
    args.push_back(box.Address() + ":" + std::to_string(box.DataPort()));
  }
  HubProcess hub;
  if (!hub.Start(args)) return Fail("cannot run " + options.program);
  std::string line;
  int64_t dataPort = 0;
  if (!hub.WaitForPrefix("listening data=", line, kStartBound) ||
      ParseInt(std::string_view(line).substr(15), dataPort) == 0) {
    return Fail("the hub did not report its listening ports");
  }
  int64_t statusPort = 0;
  const size_t status = line.find(" status=");
  if (options.statusPort >= 0 &&
      (status == std::string::npos || ParseInt(std::string_view(line).substr(status + 8), statusPort) == 0)) {
    return Fail("the hub did not report its status port");
  }

  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  Tally tally(simulator);
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::vector<std::unique_ptr<Tap>> taps;
  for (int v = 0; v < kViewers; ++v) {
    viewers.push_back(std::make_unique<Viewer>(context, tally));
    if (!viewers.back()->Connect(static_cast<uint16_t>(dataPort))) return Fail("a viewer could not connect");
  }
  for (int b = 0; b < kBoxes; ++b) {
    const auto& box = simulator.Box(static_cast<size_t>(b));
    taps.push_back(std::make_unique<Tap>(context, tally, b));
    if (!taps.back()->Connect(box.Address(), box.DataPort())) return Fail("a tap could not connect");
  }
  std::thread readers([&context] { context.run(); });
  auto endReaders = [&] {
    asio::post(context, [&] {
      for (auto& viewer : viewers) viewer->Close();
      for (auto& tap : taps) tap->Close();
    });
    guard.reset();
    readers.join();
  };

  // The run starts once every box is connected and every header is in; every viewer then gets
  // data lines. Measurement begins once all of them have.
  bool ready;
  {
    std::unique_lock lock(tally.mutex);
    ready = tally.gotData.wait_for(lock, kStartBound, [&] { return tally.viewersWithData == kViewers; });
  }
  if (!ready) {
    endReaders();
    return Fail("the viewers got no data lines from the hub");
  }

  Measurement m;
  std::unique_ptr<StatusScraper> scraper;
  if (options.statusPort >= 0) scraper = std::make_unique<StatusScraper>(static_cast<uint16_t>(statusPort));
  m.scraper = scraper.get();
  const double cpuBefore = bench::ProcessCpuSeconds(hub.Pid());
  const auto start = Clock::now();
  // Lines of records due before now may be the start-up's backlog: records the hub held while it
  // collected the headers, published in a burst once they were all in.
  tally.firstMeasured = (start - simulator.Box(0).RecordClock()) / kRecordPeriod;
  tally.measuring = true;
  const bool hubEnded = hub.WaitForEnd(std::chrono::seconds(options.seconds));  // ends early only if the hub does
  tally.measuring = false;
  m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (scraper) scraper->Stop();
  if (!hubEnded) {
    m.cpuPercent = 100.0 * (bench::ProcessCpuSeconds(hub.Pid()) - cpuBefore) / m.seconds;
    m.rssMiB = PeakRssMiB(hub.Pid());
    kill(hub.Pid(), SIGINT);
    m.stopped = hub.WaitForPrefix("stopped", line, kStopBound) && hub.WaitForEnd(kStopBound);
  }
  if (m.stopped) m.hubExit = hub.Reap();
  endReaders();
  simulator.Stop();
  std::remove(logFile.c_str());

  const Accounting accounting = Account(viewers, tally);
  return Report(options, m, accounting, tally) ? 0 : 1;
}

}  // namespace
}  // namespace tessamer

int main(int argc, char** argv) {
  tessamer::Options options;
  if (!tessamer::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: hub_load_bench [--seconds N (1-3600, default 60)] [--tessamer PATH]\n"
                 "                      [--status-port P] [--record FILE]\n");
    return 2;
  }
  if (options.program.empty()) return tessamer::Fail("no tessamer program found: give --tessamer PATH");
  return tessamer::Run(options);
}
