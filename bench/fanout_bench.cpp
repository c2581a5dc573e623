// Fan-out load run of the data server: one publisher thread publishes data lines of 16 values at
// a fixed rate to M viewers over loopback for a fixed time, and the same lines are relayed to the
// same M viewers by `ncat --broker`, the plain-relay reference. Reported per run: lines delivered
// per second of the run (until every viewer had the last line), lines lost, p50/p99/max latency
// from each line's due time (its slot in the fixed rate) to its receipt, and the relaying
// process's CPU time per delivered line (for the data server: the child process less its
// publishing thread's pacing, so what is counted is PublishData, line text included, and the
// workers). Measuring from the due time counts a publisher that falls behind the rate, as it
// counts a relay whose input backs up.
//
//   parent: M viewers (one receiving thread) ◄── loopback ── child: CDataServer + publisher thread
//   parent: M viewers + publishing socket    ◄── loopback ──► ncat --broker
//
// Each line carries its sequence number and its due time (steady clock, microseconds) as its
// first two values; both processes read the same monotonic clock. The bench raises its own
// descriptor limit (the child inherits it) for the larger viewer counts.
//
// Usage: fanout_bench [--seconds S] [--rate LINES_PER_S] [--clients 1,10,100,500,1000] [--runs N]
//                     [--no-ncat]
// With --runs N the two relays take turns N times at each count, so that a machine whose speed
// drifts (a shared virtual machine) slows both alike, and the median of each figure follows.

#include <poll.h>
#include <sys/epoll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "cpu_time.h"
#include "hub/core/notices.h"
#include "server/data_publisher.h"
#include "server/data_server.h"

namespace tessamer::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kValues = 16;

struct Settings {
  int seconds = 5;
  int rate = 1000;
  std::vector<int> clients{1, 10, 100, 500, 1000};
  bool ncat = true;
  int runs = 1;  // of each relay at each count, taking turns; more than one adds the medians
};

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

Data LineRecord(int64_t sequence, int64_t dueMicros) {
  Data data{};
  data.time.tm_year = 124;
  data.time.tm_mon = 4;
  data.time.tm_mday = 5;
  data.time.tm_hour = 14;
  data.count = kValues;
  data.values[0] = static_cast<double>(sequence);
  data.values[1] = static_cast<double>(dueMicros);
  for (int i = 2; i < kValues; ++i) data.values[i] = 1000.0 + i * 0.1234 + sequence % 100;
  return data;
}

// Connects `socket` to 127.0.0.1:`port`, waiting at most 10 s: a relay that stops taking
// connections is reported, not waited on for the kernel's minutes of retries. A connect caught in
// a race with a full listen backlog may be refused: it is tried again after a pause.
void Connect(asio::ip::tcp::socket& socket, uint16_t port) {
  constexpr int kConnectTries = 100;
  constexpr int kConnectWaitMs = 10'000;
  const asio::ip::tcp::endpoint relay(asio::ip::make_address("127.0.0.1"), port);
  for (int attempt = 1;; ++attempt) {
    asio::error_code failure;
    socket.open(relay.protocol(), failure);
    if (!failure) socket.non_blocking(true, failure);
    // Asio's own connect waits without a bound whatever the socket's mode: the system's does not.
    if (!failure && ::connect(socket.native_handle(), relay.data(), relay.size()) != 0) {
      failure = asio::error_code(errno, asio::system_category());
    }
    if (failure == asio::error::in_progress) {
      pollfd waiting{socket.native_handle(), POLLOUT, 0};
      if (::poll(&waiting, 1, kConnectWaitMs) != 1) {
        failure = asio::error::timed_out;
      } else {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &size);
        failure = asio::error_code(error, asio::system_category());
      }
    }
    if (!failure) socket.non_blocking(false, failure);
    if (!failure) return;
    socket.close();
    if (failure != asio::error::connection_refused || attempt == kConnectTries) {
      throw std::system_error(failure, "connect");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// M viewers on one thread: every received line's sequence number and latency. The viewers are
// read with epoll, one receive per readiness, and only the two numbers each line leads with are
// parsed: the load generator shares the machine with the relay it measures, so it takes as little
// of it as it can (an Asio reader took three quarters of a core at a thousand viewers).
class Viewers {
 public:
  Viewers(int count, uint16_t port, int64_t lines) : poller(::epoll_create1(EPOLL_CLOEXEC)) {
    if (poller < 0) throw std::system_error(errno, std::system_category(), "epoll_create1");
    // Connects go in small groups with a pause between them: a flood overruns the listeners'
    // backlogs, and each dropped connect waits a second or more for the kernel's retry.
    // Every viewer must be in within a minute: a relay that takes longer (each connect waiting
    // for the kernel's retries) is reported as not taking them.
    constexpr int kConnectGroup = 16;
    constexpr auto kConnectAll = std::chrono::seconds(60);
    const auto deadline = Clock::now() + kConnectAll;
    for (int i = 0; i < count; ++i) {
      if (Clock::now() > deadline) {
        throw std::system_error(asio::error::timed_out,
                                "connect: " + std::to_string(i) + " viewers in 60 s");
      }
      auto viewer = std::make_unique<Viewer>(io);
      Connect(viewer->socket, port);
      viewer->latencies.reserve(static_cast<size_t>(lines));
      viewers.push_back(std::move(viewer));
      if (i % kConnectGroup == kConnectGroup - 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    for (auto& viewer : viewers) {
      epoll_event ready{};
      ready.events = EPOLLIN;
      ready.data.ptr = viewer.get();
      if (::epoll_ctl(poller, EPOLL_CTL_ADD, viewer->socket.native_handle(), &ready) != 0) {
        throw std::system_error(errno, std::system_category(), "epoll_ctl");
      }
    }
    thread = std::thread([this] { Run(); });
  }
  ~Viewers() {
    stop = true;
    thread.join();
    ::close(poller);
  }

  // Waits until every viewer has the line `last`, at most `timeout`.
  bool WaitAll(int64_t last, std::chrono::milliseconds timeout) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] {
      return std::all_of(viewers.begin(), viewers.end(),
                         [&](const auto& v) { return v->lastSequence >= last; });
    });
  }

  struct Result {
    int64_t delivered = 0, lost = 0, disordered = 0;
    double p50 = 0, p99 = 0, max = 0;  // milliseconds
    double readerCpuSeconds = 0;       // the viewers' receiving thread, so far
  };
  Result Collect(int64_t published) {
    std::lock_guard guard(mutex);
    Result result;
    clockid_t readerClock{};
    if (::pthread_getcpuclockid(thread.native_handle(), &readerClock) == 0) {
      result.readerCpuSeconds = ThreadCpuSeconds(readerClock);
    }
    std::vector<int64_t> all;
    for (const auto& v : viewers) {
      result.delivered += v->lines;
      result.lost += published - v->lines;
      result.disordered += v->disordered;
      all.insert(all.end(), v->latencies.begin(), v->latencies.end());
    }
    if (!all.empty()) {
      std::sort(all.begin(), all.end());
      result.p50 = all[all.size() / 2] / 1000.0;
      result.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1000.0;
      result.max = all.back() / 1000.0;
    }
    return result;
  }

 private:
  struct Viewer {
    explicit Viewer(asio::io_context& io) : socket(io) {}
    asio::ip::tcp::socket socket;
    std::string pending;  // the start of a line the last receive cut off
    int64_t lastSequence = 0, lines = 0, disordered = 0;
    std::vector<int64_t> latencies;
  };

  void Run() {
    constexpr int kEvents = 256;
    constexpr int kWaitMs = 50;  // how soon a stop is seen
    epoll_event events[kEvents];
    std::vector<char> chunk(65536);
    while (!stop) {
      const int ready = ::epoll_wait(poller, events, kEvents, kWaitMs);
      if (ready <= 0) continue;
      const int64_t now = NowMicros();
      std::lock_guard guard(mutex);
      for (int i = 0; i < ready; ++i) {
        auto& viewer = *static_cast<Viewer*>(events[i].data.ptr);
        const ssize_t n = ::recv(viewer.socket.native_handle(), chunk.data(), chunk.size(), 0);
        if (n > 0) {
          Lines(viewer, std::string_view(chunk.data(), static_cast<size_t>(n)), now);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          ::epoll_ctl(poller, EPOLL_CTL_DEL, viewer.socket.native_handle(), nullptr);
        }
      }
      changed.notify_all();
    }
  }

  void Lines(Viewer& viewer, std::string_view received, int64_t now) {
    std::string_view text = received;
    if (!viewer.pending.empty()) {
      viewer.pending.append(received);
      text = viewer.pending;
    }
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
      int64_t sequence = 0, due = 0;
      if (!LeadingNumbers(text.substr(start, end - start), sequence, due)) continue;
      if (sequence != viewer.lastSequence + 1) ++viewer.disordered;
      viewer.lastSequence = sequence;
      ++viewer.lines;
      viewer.latencies.push_back(now - due);
    }
    viewer.pending = std::string(text.substr(start));
  }

  // "MM/DD/YY hh:mm:ss <sequence>.0000 <due>.0000 ...": the whole parts of the first two values.
  // False for a header line.
  static bool LeadingNumbers(std::string_view line, int64_t& sequence, int64_t& due) {
    if (line.empty() || line[0] == '#') return false;
    size_t at = line.find(' ', line.find(' ') + 1);
    for (int64_t* value : {&sequence, &due}) {
      if (at == std::string_view::npos) return false;
      while (at < line.size() && line[at] == ' ') ++at;
      for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
        *value = *value * 10 + (line[at] - '0');
      }
      at = line.find(' ', at);
    }
    return true;
  }

  asio::io_context io;  // only for the sockets' connects
  const int poller;
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
};

// Publishes `count` lines at `rate`, calling `publish` with each record; a record carries its due
// time, so a publisher that falls behind shows in the latency.
template <typename Publish>
void PublishAtRate(int64_t count, int rate, Publish publish) {
  const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
  auto next = Clock::now();
  for (int64_t i = 1; i <= count; ++i) {
    next += period;
    std::this_thread::sleep_until(next);
    publish(LineRecord(
        i, std::chrono::duration_cast<std::chrono::microseconds>(next.time_since_epoch()).count()));
  }
}

// --- the data server, in a child process of its own ---

class ConnectionCounter : public INoticeSink {
 public:
  void Post(Notice notice) override {
    const auto* connection = std::get_if<ClientConnectionNotice>(&notice);
    if (connection == nullptr || !connection->connected) return;
    std::lock_guard guard(mutex);
    ++connected;
    changed.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock guard(mutex);
    // Connects beyond the listener's backlog wait for the kernel's SYN retries (a second and
    // more each), so a thousand viewers can take a while to get in.
    return changed.wait_for(guard, std::chrono::minutes(5), [&] { return connected >= count; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int connected = 0;
};

std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

void WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) < 0) std::perror("write");
}

[[noreturn]] void ServeInChild(int commands, int answers, int clients, int64_t lines, int rate) {
  {
    ConnectionCounter counter;
    CDataPublisher publisher;
    publisher.SetServer(std::make_unique<CDataServer>(0, &counter, "127.0.0.1"), 0);
    if (!publisher.StartServer()) _exit(1);
    Header header;
    header.count = kValues;
    publisher.PublishHeader(header);
    WriteLine(answers, std::to_string(publisher.Server()->Port()));
    if (!counter.WaitFor(clients)) _exit(2);
    WriteLine(answers, "ready");
    ReadLine(commands);  // go
    // The publishing thread's pacing and record making are the load generator's, not the
    // server's: its time outside PublishData is reported so the parent can leave it out.
    double inPublish = 0;
    const double threadStart = ThreadCpuSeconds();
    PublishAtRate(lines, rate, [&](const Data& data) {
      const double before = ThreadCpuSeconds();
      publisher.PublishData(data);
      inPublish += ThreadCpuSeconds() - before;
    });
    WriteLine(answers, std::to_string(ThreadCpuSeconds() - threadStart - inPublish));
    ReadLine(commands);  // quit
  }
  _exit(0);
}

struct RunResult {
  Viewers::Result viewers;
  double cpuSeconds = 0;
  double seconds = 0;
  std::string failure;  // the relay could not take every viewer
};

RunResult RunDataServer(int clients, const Settings& settings) {
  const int64_t lines = static_cast<int64_t>(settings.rate) * settings.seconds;
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::exit(1);
  const pid_t child = ::fork();
  if (child == 0) ServeInChild(toChild[0], fromChild[1], clients, lines, settings.rate);
  const auto port = static_cast<uint16_t>(std::stoi(ReadLine(fromChild[0])));
  RunResult result;
  try {
    Viewers viewers(clients, port, lines);
    ReadLine(fromChild[0]);  // ready
    const double cpuBefore = ProcessCpuSeconds(child);
    const auto start = Clock::now();
    WriteLine(toChild[1], "go");
    const double generatorSeconds = std::stod(ReadLine(fromChild[0]));
    viewers.WaitAll(lines, std::chrono::seconds(10));
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.cpuSeconds = ProcessCpuSeconds(child) - cpuBefore - generatorSeconds;
    result.viewers = viewers.Collect(lines);
    WriteLine(toChild[1], "quit");
  } catch (const std::system_error& failure) {
    result.failure = failure.what();
    ::kill(child, SIGKILL);
  }
  ::waitpid(child, nullptr, 0);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
  return result;
}

// --- the same lines through ncat --broker ---

RunResult RunNcat(int clients, const Settings& settings) {
  const int64_t lines = static_cast<int64_t>(settings.rate) * settings.seconds;
  uint16_t port;
  {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    port = probe.local_endpoint().port();
  }
  int errors[2];
  if (::pipe(errors) != 0) std::exit(1);
  const pid_t ncat = ::fork();
  if (ncat == 0) {
    ::dup2(errors[1], 2);
    const std::string portText = std::to_string(port);
    const std::string connections = std::to_string(clients + 16);  // the viewers and the source
    ::execl("/usr/bin/ncat", "ncat", "-v", "--broker", "--max-conns", connections.c_str(), "-l",
            "127.0.0.1", portText.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(errors[1]);
  for (std::string line; (line = ReadLine(errors[0])).find("Listening on") == std::string::npos;) {
    if (line.empty()) {
      std::fprintf(stderr, "ncat did not start\n");
      std::exit(1);
    }
  }
  RunResult result;
  try {
    Viewers viewers(clients, port, lines);
    asio::io_context io;
    asio::ip::tcp::socket source(io);
    Connect(source, port);
    source.set_option(asio::ip::tcp::no_delay(true));
    // ncat accepts in arrival order, so once it relays the source's data every viewer is in.
    const double cpuBefore = ProcessCpuSeconds(ncat);
    const auto start = Clock::now();
    PublishAtRate(lines, settings.rate, [&](const Data& data) {
      asio::write(source, asio::buffer(CDataPublisher::DataLine(data)));
    });
    viewers.WaitAll(lines, std::chrono::seconds(10));
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.cpuSeconds = ProcessCpuSeconds(ncat) - cpuBefore;
    result.viewers = viewers.Collect(lines);
  } catch (const std::system_error& failure) {
    result.failure = failure.what();
  }
  ::kill(ncat, SIGTERM);
  ::waitpid(ncat, nullptr, 0);
  ::close(errors[0]);
  return result;
}

// One run's figures as reported: per second and per line, so that runs can be set side by side.
struct Figures {
  double linesPerSecond = 0, p50 = 0, p99 = 0, max = 0, cpuMicrosPerLine = 0, readerShare = 0;
  int64_t lost = 0, disordered = 0;
};

Figures FiguresOf(const RunResult& r) {
  const double delivered = static_cast<double>(r.viewers.delivered);
  Figures f;
  f.linesPerSecond = r.seconds > 0 ? delivered / r.seconds : 0.0;
  f.p50 = r.viewers.p50;
  f.p99 = r.viewers.p99;
  f.max = r.viewers.max;
  f.cpuMicrosPerLine = delivered > 0 ? r.cpuSeconds * 1e6 / delivered : 0.0;
  f.readerShare = r.seconds > 0 ? r.viewers.readerCpuSeconds / r.seconds : 0.0;
  f.lost = r.viewers.lost;
  f.disordered = r.viewers.disordered;
  return f;
}

void Report(const std::string& name, int clients, const Settings& settings, const Figures& f) {
  std::printf("%-19s M=%-4d rate=%-5d %9.0f lines/s  lost %-6lld disordered %-4lld "
              "p50 %7.3f ms  p99 %7.3f ms  max %8.3f ms  cpu %6.2f us/line  viewers' thread "
              "%3.0f%%\n",
              name.c_str(), clients, settings.rate, f.linesPerSecond,
              static_cast<long long>(f.lost), static_cast<long long>(f.disordered), f.p50, f.p99,
              f.max, f.cpuMicrosPerLine, f.readerShare * 100);
  std::fflush(stdout);
}

void Report(const char* name, int clients, const Settings& settings, const RunResult& r) {
  if (r.failure.empty()) return Report(name, clients, settings, FiguresOf(r));
  std::printf("%-19s M=%-4d rate=%-5d could not take every viewer (%s)\n", name, clients,
              settings.rate, r.failure.c_str());
  std::fflush(stdout);
}

// The median of each figure on its own over the runs that took every viewer (lost and
// disordered: the most of any run).
void ReportMedians(const char* name, int clients, const Settings& settings,
                   const std::vector<RunResult>& runs) {
  std::vector<Figures> served;
  for (const RunResult& run : runs) {
    if (run.failure.empty()) served.push_back(FiguresOf(run));
  }
  if (served.size() != runs.size()) {
    std::printf("%-19s M=%-4d median: %zu of %zu runs took every viewer\n", name, clients,
                served.size(), runs.size());
    if (served.empty()) return;
  }
  const auto median = [&](double Figures::*figure) {
    std::vector<double> values;
    for (const Figures& f : served) values.push_back(f.*figure);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  Figures middle;
  for (const Figures& f : served) {
    middle.lost = std::max(middle.lost, f.lost);
    middle.disordered = std::max(middle.disordered, f.disordered);
  }
  for (double Figures::*figure : {&Figures::linesPerSecond, &Figures::p50, &Figures::p99,
                                  &Figures::max, &Figures::cpuMicrosPerLine,
                                  &Figures::readerShare}) {
    middle.*figure = median(figure);
  }
  Report(std::string(name) + " median", clients, settings, middle);
}

Settings ParseArguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seconds" && hasValue) {
      settings.seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--rate" && hasValue) {
      settings.rate = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--clients" && hasValue) {
      settings.clients.clear();
      std::istringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) {
        settings.clients.push_back(std::max(1, std::atoi(item.c_str())));
      }
    } else if (arg == "--runs" && hasValue) {
      settings.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--no-ncat") {
      settings.ncat = false;
    } else {
      std::fprintf(stderr,
                   "usage: fanout_bench [--seconds S] [--rate R] [--clients 1,10,100,500,1000] "
                   "[--runs N] [--no-ncat]\n");
      std::exit(2);
    }
  }
  return settings;
}

}  // namespace
}  // namespace tessamer::bench

int main(int argc, char** argv) {
  using namespace tessamer::bench;
  ::signal(SIGPIPE, SIG_IGN);
  // Each viewer is a descriptor here and one in the relaying process, which inherits the limit.
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
    descriptors.rlim_cur = descriptors.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &descriptors);
  }
  const Settings settings = ParseArguments(argc, argv);
  for (int clients : settings.clients) {
    std::vector<RunResult> server, ncat;
    for (int run = 0; run < settings.runs; ++run) {
      server.push_back(RunDataServer(clients, settings));
      Report("data server", clients, settings, server.back());
      if (!settings.ncat) continue;
      ncat.push_back(RunNcat(clients, settings));
      Report("ncat broker", clients, settings, ncat.back());
    }
    if (settings.runs == 1) continue;
    ReportMedians("data server", clients, settings, server);
    if (settings.ncat) ReportMedians("ncat broker", clients, settings, ncat);
  }
  return 0;
}
