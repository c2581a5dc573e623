// Framing and parsing of a box's data lines through the in-memory link, beside a naive reading
// of the same lines (sscanf, strtod and a plain mktime per line).
//
//   BM_DriverOneCore     reader steps and delivery on the calling thread: framing + parsing
//   BM_DriverThreads     the driver's own reader and delivery threads, Start to last OnData
//                        (rates per second of the process's CPU time)
//   BM_NaiveBaseline     line split + sscanf + strtod + mktime, no queue, no delivery
//
// Each line carries a date, a time with tenths and 6 values, ten records a second.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/quintrel_driver.h"
#include "support/number_text.h"
#include "testkit/memory_device.h"

namespace {

using namespace tessamer;

constexpr int kLines = 200000;

void AppendTwo(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

const std::string& BoxText() {
  static const std::string text = [] {
    std::string out;
    out.reserve(static_cast<size_t>(kLines) * 80);
    for (int i = 0; i < kLines; ++i) {
      const int second = i / 10;
      out += "07/15/24 ";
      AppendTwo(out, 10 + second / 3600);
      out += ':';
      AppendTwo(out, (second / 60) % 60);
      out += ':';
      AppendTwo(out, second % 60);
      out += '.';
      out += static_cast<char>('0' + i % 10);
      for (int v = 0; v < 6; ++v) {
        out += ' ';
        AppendFixed(out, 1000.0 * v + i * 0.0625 - 500.0, 4);
      }
      out += "\r\n";
    }
    return out;
  }();
  return text;
}

// Counts records and keeps a sum so nothing is optimised away.
class CountingHandler : public IDataHandler {
 public:
  void OnData(const Data& data) override {
    sum += data.values[5] + static_cast<double>(data.timestamp);
    std::lock_guard<std::mutex> guard(mutex);
    if (++count == target) done.notify_all();
  }
  void OnHeader(const Header&) override {}
  void OnTextLine(const std::string&) override {}
  void OnReaderEnded(bool) override {}
  void OnError(const std::wstring&) override {}
  bool OnReconnectProgress(int32_t, int32_t, bool) override { return true; }

  void WaitForAll() {
    std::unique_lock<std::mutex> guard(mutex);
    done.wait(guard, [this] { return count >= target; });
  }

  double sum = 0;
  int target = kLines;

 private:
  std::mutex mutex;
  std::condition_variable done;
  int count = 0;
};

std::unique_ptr<CQuintrelDriver> MakeDriver(CountingHandler& handler, bool staysOpen) {
  auto device = std::make_unique<testkit::CMemoryDevice>(
      std::vector<testkit::MemoryConnection>{{BoxText(), !staysOpen, 0}});
  ErrorInfo failure;
  device->Open(failure);
  return std::make_unique<CQuintrelDriver>(&handler, std::move(device));
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kLines);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(BoxText().size()));
}

void BM_DriverOneCore(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    CountingHandler handler;
    auto driver = MakeDriver(handler, false);
    state.ResumeTiming();
    while (driver->ReadStep() >= 0) driver->DeliverQueued();
    benchmark::DoNotOptimize(handler.sum);
    state.PauseTiming();
    driver.reset();
    state.ResumeTiming();
  }
  Report(state);
}
BENCHMARK(BM_DriverOneCore)->Unit(benchmark::kMillisecond);

void BM_DriverThreads(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    CountingHandler handler;
    auto driver = MakeDriver(handler, true);
    state.ResumeTiming();
    driver->Start();
    handler.WaitForAll();
    state.PauseTiming();
    driver->Stop();
    driver.reset();
    benchmark::DoNotOptimize(handler.sum);
    state.ResumeTiming();
  }
  Report(state);
}
// Rates by the process's CPU time (both driver threads), so a loaded machine does not hide them;
// the real time is shown beside it.
BENCHMARK(BM_DriverThreads)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_NaiveBaseline(benchmark::State& state) {
  const std::string& text = BoxText();
  for (auto _ : state) {
    double sum = 0;
    const char* at = text.c_str();
    const char* end = at + text.size();
    char line[1024];
    while (at < end) {
      const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
      const size_t length = static_cast<size_t>((lineEnd != nullptr ? lineEnd : end) - at);
      std::memcpy(line, at, length < sizeof line ? length : sizeof line - 1);
      line[length < sizeof line ? length : sizeof line - 1] = '\0';
      at += length + 1;

      std::tm time{};
      int month = 0, day = 0, year = 0, fraction = 0, consumed = 0;
      if (std::sscanf(line, "%d/%d/%d %d:%d:%d.%d%n", &month, &day, &year, &time.tm_hour,
                      &time.tm_min, &time.tm_sec, &fraction, &consumed) < 6) {
        continue;
      }
      time.tm_mon = month - 1;
      time.tm_mday = day;
      time.tm_year = year < 70 ? year + 100 : year;
      time.tm_isdst = 0;
      const std::time_t timestamp = std::mktime(&time);
      double values[96];
      int count = 0;
      char* cursor = line + consumed;
      while (count < 96) {
        char* next = nullptr;
        const double value = std::strtod(cursor, &next);
        if (next == cursor) break;
        values[count++] = value;
        cursor = next;
      }
      sum += (count == 6 ? values[5] : 0.0) + static_cast<double>(timestamp);
    }
    benchmark::DoNotOptimize(sum);
  }
  Report(state);
}
BENCHMARK(BM_NaiveBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
