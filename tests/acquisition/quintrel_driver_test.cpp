#include "acquisition/quintrel_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition/tcp_device.h"
#include "hub/core/alerts.h"
#include "support/number_text.h"
#include "support/text.h"
#include "testkit/fake_box.h"
#include "testkit/log_capture.h"
#include "testkit/memory_device.h"
#include "testkit/recorders.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::CMemoryDevice;
using testkit::MemoryConnection;
using Clock = std::chrono::steady_clock;

const char kHeaderBlock[] =
    "#Vellumetric Primary\r\n"
    "#JobType Cementing\r\n"
    "#SerialNumber 77\r\n"
    "#Firmware Version 8.6v\r\n"
    "#FPGA Version 1.0\r\n"
    "#DialVariable P2 Min 0 Max 100\r\n"
    "#Date Time P1 P2 P3 P4 P5 P6\r\n";

// A data line of one record; `i` is its first value and its second of the day.
std::string DataLine(int i) {
  std::string line = "07/15/24 ";
  AppendInt(line, 10 + i / 3600);
  line += ":";
  AppendInt(line, (i / 60) % 60);
  line += ":";
  AppendInt(line, i % 60);
  line += ".5 ";
  AppendInt(line, i);
  line += " 2 3 4 5 6\r\n";
  return line;
}

std::string DataLines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += DataLine(i);
  return text;
}

std::string HeaderWithFirmware(const std::string& firmware, bool fpga = true) {
  std::string block = "#Vellumetric\r\n#Firmware Version " + firmware + "\r\n";
  if (fpga) block += "#FPGA Version 2.0\r\n";
  return block + "#Date Time P1\r\n";
}

// Records every call as one short text, in order, and lets a test wait for what it expects.
// `react` runs inside each call (on the driver's thread) after it is recorded.
class RecordingHandler : public IDataHandler {
 public:
  void OnData(const Data& data) override { Add("D" + std::to_string(static_cast<int>(data.values[0]))); }
  void OnHeader(const Header& header) override {
    Add("H" + Narrow(TextOf(header.serialNumber)) + "/" + std::to_string(header.count));
  }
  void OnTextLine(const std::string& text) override { Add("T" + text); }
  void OnReaderEnded(bool unexpected) override { Add(unexpected ? "END!" : "END"); }
  void OnError(const std::wstring& text) override { Add("ERR" + Narrow(text)); }
  bool OnReconnectProgress(int32_t phase, int32_t, bool trying) override {
    Add("P" + std::to_string(phase) + (trying ? "+" : "-"));
    return true;
  }

  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> guard(mutex);
    return events;
  }
  std::vector<std::string> Items() const {  // data, headers and text lines only
    std::vector<std::string> items;
    for (const std::string& e : Events()) {
      if (e[0] == 'D' || e[0] == 'H' || e[0] == 'T') items.push_back(e);
    }
    return items;
  }
  size_t Count(const std::string& event) const {
    size_t n = 0;
    for (const std::string& e : Events()) n += e == event;
    return n;
  }
  bool WaitFor(const std::string& event, size_t count = 1, std::chrono::milliseconds timeout = 10s) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, timeout, [&] {
      size_t n = 0;
      for (const std::string& e : events) n += e == event;
      return n >= count;
    });
  }

  std::function<void(const std::string&)> react;

 private:
  void Add(std::string event) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      events.push_back(event);
    }
    changed.notify_all();
    if (react) react(event);
  }

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> events;
};

std::vector<std::string> ExpectedData(int from, int to) {
  std::vector<std::string> items;
  for (int i = from; i < to; ++i) items.push_back("D" + std::to_string(i));
  return items;
}

AcquisitionTimeouts FastTimeouts() {
  AcquisitionTimeouts timeouts;
  timeouts.reconnectWindow = 2000ms;
  timeouts.stopWait = 3000ms;
  timeouts.refusalPause = 200ms;
  return timeouts;
}

// Builds a driver over an opened memory link, as the agent does.
struct MemoryRig {
  explicit MemoryRig(std::vector<MemoryConnection> connections, bool reconnect = true,
                     int readLimit = 2048, AcquisitionTimeouts timeouts = FastTimeouts(),
                     int recordsPerMinute = kMaxRecordsPerMinute) {
    TcpOptions options;
    options.MaxRecordsPerMinute = recordsPerMinute;
    auto owned = std::make_unique<CMemoryDevice>(std::move(connections), options);
    device = owned.get();
    device->SetReadLimit(readLimit);
    device->SetReconnectAllowed(reconnect);
    ErrorInfo failure;
    EXPECT_TRUE(device->Open(failure));
    driver = std::make_unique<CQuintrelDriver>(&handler, std::move(owned), timeouts);
  }

  // Runs the reader steps by hand until the input fails, then delivers.
  void Pump() {
    while (driver->ReadStep() >= 0) {
    }
    driver->DeliverQueued();
  }

  RecordingHandler handler;
  CMemoryDevice* device;
  std::unique_ptr<CQuintrelDriver> driver;
};

std::vector<std::string> PumpText(const std::string& text, int readLimit = 2048) {
  MemoryRig rig({{text}}, false, readLimit);
  rig.Pump();
  return rig.handler.Items();
}

// An alert window for tests. It records every alert; an operator who `answers` closes each at
// once, otherwise an alert stays open until Release. Its destructor waits until no alert is
// being shown any more, since the driver shows alerts on threads of their own.
class TestAlerts : public IAlertFacility {
 public:
  explicit TestAlerts(bool answers = true) : answers(answers) { previous = InstallAlertFacility(this); }
  ~TestAlerts() override {
    Release();
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait_for(guard, 10s, [this] { return showing == 0; });
    InstallAlertFacility(previous);
  }
  void Show(std::wstring_view text, AlertIcon icon) override {
    std::unique_lock<std::mutex> guard(mutex);
    ++showing;
    alerts.push_back({std::wstring(text), icon});
    changed.notify_all();
    changed.wait(guard, [this] { return answers; });
    --showing;
    changed.notify_all();
  }
  void Release() {
    std::lock_guard<std::mutex> guard(mutex);
    answers = true;
    changed.notify_all();
  }
  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, 10s, [&] { return alerts.size() >= count; });
  }
  std::vector<testkit::RecordedAlert> Alerts() {
    std::lock_guard<std::mutex> guard(mutex);
    return alerts;
  }

 private:
  IAlertFacility* previous = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  bool answers;
  int showing = 0;
  std::vector<testkit::RecordedAlert> alerts;
};

TEST(StreamFramingTest, ItemsAreRecognisedByTheirFirstCharacters) {
  const std::string stream = std::string(kHeaderBlock) + DataLines(0, 3) + "## DCC ok\r\n" +
                             "garbage line\n" + DataLines(3, 5);
  const std::vector<std::string> expected = {"H77/8", "D0", "D1", "D2", "T DCC ok", "D3", "D4"};
  for (int limit : {1, 5, 64, 2048}) EXPECT_EQ(PumpText(stream, limit), expected) << limit;
}

TEST(StreamFramingTest, HeaderFieldsSurviveTheTrip) {
  struct Keeper : RecordingHandler {
    Header kept;
    void OnHeader(const Header& header) override { kept = header; }
  } keeper;
  CQuintrelDriver driver(&keeper, std::make_unique<CMemoryDevice>(std::vector<MemoryConnection>{
                                      {kHeaderBlock + DataLine(0)}}));
  ErrorInfo failure;
  ASSERT_TRUE(driver.Device().Open(failure));
  while (driver.ReadStep() >= 0) {
  }
  ASSERT_EQ(driver.DeliverQueued(), 2u);
  const Header& seen = keeper.kept;
  EXPECT_EQ(seen.count, 8);
  EXPECT_EQ(std::wstring(TextOf(seen.names[3])), L"P2");
  EXPECT_EQ(seen.dialIndex, 3);
  EXPECT_DOUBLE_EQ(seen.dialMax, 100.0);
  EXPECT_EQ(seen.jobType, Cementing);
  EXPECT_FALSE(seen.secondary);
  EXPECT_EQ(std::wstring(TextOf(seen.firmwareVersion)), L"8.6v");
  EXPECT_EQ(std::string(seen.text).substr(0, 22), "#Vellumetric Primary\n#");
}

TEST(StreamFramingTest, HeaderBlockEndsAtATextLine) {
  EXPECT_EQ(PumpText(std::string(kHeaderBlock) + "##\r\n" + DataLine(1)),
            (std::vector<std::string>{"H77/8", "T", "D1"}));
}

TEST(StreamFramingTest, DataWithoutAHeaderIsDelivered) {
  EXPECT_EQ(PumpText(DataLines(0, 4)), ExpectedData(0, 4));
}

TEST(StreamFramingTest, ALineWithoutAnItemCostsNoOtherLine) {
  // Each odd line is followed by a good record; none of those records may be lost.
  const char* const odd[] = {"\r\n",          "garbage line\n",     "07/15/24\r\n",
                             "#SerialNumber 5\r\n", " \t\r\n",          "\x01\x02\n"};
  std::string stream;
  int next = 0;
  for (const char* line : odd) stream += line + DataLine(next++);
  std::string noise(64 * 1024, '\0');
  uint32_t seed = 7;
  for (char& c : noise) {
    do {
      seed = seed * 1103515245 + 12345;
      c = static_cast<char>(seed >> 16);
    } while (c == '\n' || c == '#' || (c >= '0' && c <= '9'));
  }
  stream += noise + "\n" + DataLine(next++);
  stream += std::string(1 << 20, 'x') + "\n" + DataLines(next, next + 2);
  next += 2;
  for (int limit : {7, 2048}) EXPECT_EQ(PumpText(stream, limit), ExpectedData(0, next)) << limit;
}

TEST(StreamFramingTest, TheLineAfterAHeldRecordIsReadNotSkipped) {
  // A record two days ahead is held until the next line shows whether the jump was real; that
  // next line is the record that settles it and must not be skipped as if nothing had been read.
  const std::string jump = "07/17/24 10:00:02.5 99 2 3 4 5 6\r\n";
  EXPECT_EQ(PumpText(DataLines(0, 2) + jump + DataLines(2, 4)),
            (std::vector<std::string>{"D0", "D1", "D99", "D2", "D3"}));
}

TEST(StreamFramingTest, ABlockWithoutLoggerFamilyLineGivesNoHeader) {
  EXPECT_EQ(PumpText("#SerialNumber 5\n#Date Time P1\n" + DataLines(0, 3)), ExpectedData(0, 3));
}

TEST(StreamFramingTest, FirmwareGate) {
  TestAlerts alerts;
  for (const char* refused : {"8.5z", "8.6u"}) {
    MemoryRig rig({{HeaderWithFirmware(refused) + DataLines(0, 2)}}, false);
    EXPECT_EQ(rig.driver->ReadStep(), -1) << refused;
    rig.driver->DeliverQueued();
    EXPECT_TRUE(rig.handler.Items().empty()) << refused;
    const ErrorInfo& error = *rig.device->GetErrorInfo();
    EXPECT_TRUE(error.failed);
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(Narrow(error.text),
              std::string("Firmware version should be at least 8.6v, currently it is ") + refused);
    EXPECT_EQ(rig.device->CloseCount(), 1);
  }
  ASSERT_TRUE(alerts.WaitForCount(2));
  EXPECT_EQ(alerts.Alerts()[0].icon, AlertIcon::Stop);
  EXPECT_EQ(Narrow(alerts.Alerts()[1].text),
            "Firmware version should be at least 8.6v, currently it is 8.6u");

  for (const char* passing : {"8.6v", "8.7a", "9.0a", "8.6", "12", "7.9"}) {
    EXPECT_EQ(PumpText(HeaderWithFirmware(passing) + DataLine(0)),
              (std::vector<std::string>{"H/3", "D0"}))
        << passing;
  }
  // Without an FPGA version the firmware is not checked.
  EXPECT_EQ(PumpText(HeaderWithFirmware("1.0a", false) + DataLine(0)),
            (std::vector<std::string>{"H/3", "D0"}));
  EXPECT_EQ(alerts.Alerts().size(), 2u);
}

TEST(StreamFramingTest, HostileInputIsReadThroughAndTheStreamRecovers) {
  std::string noise;
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245 + 12345;
    noise += static_cast<char>(seed >> 16);
  }
  std::string thousands;
  for (int i = 0; i < 5000; ++i) thousands += "#Line " + std::to_string(i) + " " + std::string(i % 300, 'h') + "\n";
  const std::string stream = noise + "\n\n" + std::string(1 << 20, '7') + "\n" +
                             "#Vellumetric\n" + thousands + "#" + std::string(5000, 'c') + "\n" +
                             "99/99/99 99:99:99 " + std::string(300, '9') + "\n" +
                             std::string(2000, '#') + "\n\n" + DataLines(0, 3);
  const std::vector<std::string> items = PumpText(stream, 777);
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(items.end() - 3, items.end()), ExpectedData(0, 3));
}

TEST(StreamFramingTest, PendingTextIsWrittenBeforeTheNextRead) {
  MemoryRig rig({{DataLines(0, 1)}}, false);
  rig.driver->QueueOutgoing("## hello\r\n");
  EXPECT_EQ(rig.driver->ReadStep(), 1);
  EXPECT_EQ(rig.device->Written(), "## hello\r\n");
  EXPECT_EQ(rig.driver->ReadStep(), -1);
  EXPECT_EQ(rig.device->Written(), "## hello\r\n");  // written once
}

// --- the driver's threads over the in-memory link -------------------------------------------

TEST(DriverThreadsTest, EveryItemOnceInOrderAcrossReconnections) {
  testkit::LogCapture log;
  MemoryRig rig({{kHeaderBlock + DataLines(0, 300) + "07/15/24 10:0"},  // cut mid-line
                 {kHeaderBlock + DataLines(300, 600)},
                 {DataLines(600, 900), false}},
                true, 13);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D899"));
  rig.driver->Stop();
  std::vector<std::string> expected = {"H77/8"};
  for (const std::string& d : ExpectedData(0, 300)) expected.push_back(d);
  expected.push_back("H77/8");
  for (const std::string& d : ExpectedData(300, 900)) expected.push_back(d);
  EXPECT_EQ(rig.handler.Items(), expected);
  EXPECT_EQ(rig.handler.Count("P0+"), 2u);
  EXPECT_EQ(rig.handler.Count("P2-"), 2u);
  EXPECT_EQ(rig.handler.Count("END"), 1u);
  EXPECT_EQ(rig.handler.Count("END!"), 0u);
  EXPECT_EQ(rig.driver->DisconnectCount(), 2);
  EXPECT_EQ(log.Count("ProduceItem has failed"), 2u);
  EXPECT_TRUE(log.Contains("Device is capable of reconnecting. Current disconnect count: 1"));
  EXPECT_EQ(log.Count("Device has reconnected"), 2u);
  EXPECT_TRUE(log.Contains("Stop called"));
}

TEST(DriverThreadsTest, RefusedReconnectionEndsTheReaderAfterOneAttempt) {
  testkit::LogCapture log;
  MemoryRig rig({{DataLines(0, 5)}, {"", true, 10061}, {DataLines(5, 6)}});
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("END!"));
  EXPECT_TRUE(rig.handler.WaitFor("D4"));  // the queue is still delivered
  EXPECT_EQ(rig.handler.Count("P0+"), 1u);
  EXPECT_EQ(rig.device->OpenCount(), 1);
  EXPECT_TRUE(log.Contains(
      "A socket level permanent error has occurred during reconnect, going out. Error code: 10061"));
  EXPECT_TRUE(log.Contains("Device failed to reconnected"));
  rig.driver->Stop();
  EXPECT_EQ(rig.handler.Items(), ExpectedData(0, 5));
}

TEST(DriverThreadsTest, WithoutReconnectionTheErrorIsReported) {
  MemoryRig rig({{DataLines(0, 2)}}, false);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("END!"));
  ASSERT_TRUE(rig.handler.WaitFor("D1"));
  rig.driver->Stop();
  EXPECT_EQ(rig.handler.Count("ERRThe device has closed the connection"), 1u);
}

TEST(DriverThreadsTest, StartAgainAfterTheReaderEndedKeepsOrder) {
  MemoryRig rig({{DataLines(0, 400)}, {"", true, 10061}, {DataLines(400, 800), false}}, true, 50);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("END!"));
  ErrorInfo failure;
  ASSERT_TRUE(rig.device->Open(failure));  // the owner reopens the link
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D799"));
  rig.driver->Stop();
  EXPECT_EQ(rig.handler.Items(), ExpectedData(0, 800));
}

TEST(DriverThreadsTest, StartFromInsideOnReaderEnded) {
  MemoryRig rig({{DataLines(0, 10)}, {"", true, 10061}, {DataLines(10, 20), false}});
  std::atomic<bool> restarted{false};
  rig.handler.react = [&](const std::string& event) {
    if (event == "END!" && !restarted.exchange(true)) {
      ErrorInfo failure;
      EXPECT_TRUE(rig.device->Open(failure));
      EXPECT_TRUE(rig.driver->Start());
    }
  };
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D19"));
  rig.driver->Stop();
  EXPECT_EQ(rig.handler.Items(), ExpectedData(0, 20));
}

TEST(DriverThreadsTest, StartIsRefusedWhileTheReaderRuns) {
  MemoryRig rig({{"", false}});
  ASSERT_TRUE(rig.driver->Start());
  EXPECT_FALSE(rig.driver->Start());
  EXPECT_TRUE(rig.driver->LastError().failed);
  rig.driver->Stop();
}

TEST(DriverThreadsTest, StopWhileTheReaderWaitsReturnsAtOnce) {
  testkit::LogCapture log;
  AcquisitionTimeouts timeouts = FastTimeouts();
  timeouts.stopWait = 5000ms;
  MemoryRig rig({{DataLines(0, 1), false}}, true, 2048, timeouts);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D0"));
  const auto start = Clock::now();
  rig.driver->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rig.handler.Count("END"), 1u);
  EXPECT_TRUE(log.Contains("Waiting for producer to finish"));
  EXPECT_TRUE(log.Contains("Waiting for consumer to finish"));
  rig.driver->Stop();  // a second stop has nothing to wait for
  EXPECT_EQ(rig.handler.Count("END"), 1u);
}

TEST(DriverThreadsTest, StopFromInsideCallbacks) {
  testkit::LogCapture log;
  {
    MemoryRig rig({{DataLines(0, 50), false}});
    rig.handler.react = [&](const std::string& event) {
      if (event == "D3") rig.driver->Stop();  // on the delivery thread
    };
    ASSERT_TRUE(rig.driver->Start());
    ASSERT_TRUE(rig.handler.WaitFor("END"));
    rig.driver.reset();
    EXPECT_EQ(rig.handler.Items(), ExpectedData(0, 4));  // nothing after the stop
  }
  {
    MemoryRig rig({{DataLines(0, 3)}, {"", true, 10061}});
    rig.handler.react = [&](const std::string& event) {
      if (event == "END!") rig.driver->Stop();  // on the reader thread
    };
    ASSERT_TRUE(rig.driver->Start());
    ASSERT_TRUE(rig.handler.WaitFor("END!"));
  }
  {
    MemoryRig rig({{DataLines(0, 3)}, {DataLines(3, 4), false}});
    rig.handler.react = [&](const std::string& event) {
      if (event == "P0+") rig.driver->Stop();  // inside the reconnection
    };
    ASSERT_TRUE(rig.driver->Start());
    ASSERT_TRUE(rig.handler.WaitFor("END"));
  }
  // Each thread that stopped its own driver closed the link itself.
  EXPECT_EQ(log.Count("Device has been closed successfully"), 3u);
}

TEST(DriverThreadsTest, DestroyedFromInsideCallbacks) {
  // The owner may delete its driver from inside any call; the driver's thread then touches
  // nothing of it any more and no call follows.
  struct Case {
    std::vector<MemoryConnection> connections;
    std::string when;
  };
  const std::vector<Case> cases = {{{{DataLines(0, 50), false}}, "D3"},
                                   {{{DataLines(0, 3)}, {"", true, 10061}}, "END!"},
                                   {{{DataLines(0, 3)}, {DataLines(3, 4), false}}, "P0+"}};
  for (const Case& c : cases) {
    MemoryRig rig(c.connections);
    std::promise<void> destroyed;
    rig.handler.react = [&](const std::string& event) {
      if (event != c.when) return;
      rig.driver.reset();
      destroyed.set_value();
    };
    ASSERT_TRUE(rig.driver->Start());
    ASSERT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready) << c.when;
    const std::vector<std::string> events = rig.handler.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), c.when), 1) << c.when;
  }
}

TEST(DriverThreadsTest, PacingHoldsItemsBackAndStopCutsItsWait) {
  MemoryRig rig({{DataLines(0, 3), false}}, true, 2048, FastTimeouts(), 60);  // one a second
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D0"));
  const auto start = Clock::now();
  rig.driver->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rig.handler.Items(), ExpectedData(0, 1));
}

TEST(DriverThreadsTest, RefusedFirmwarePausesBeforeReconnecting) {
  TestAlerts alerts;
  AcquisitionTimeouts timeouts = FastTimeouts();
  timeouts.refusalPause = 60s;  // only a stop ends it
  MemoryRig rig({{HeaderWithFirmware("8.5a") + DataLines(0, 2), false}, {kHeaderBlock}}, true,
                2048, timeouts);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(alerts.WaitForCount(1));
  const auto start = Clock::now();
  rig.driver->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rig.device->OpenCount(), 1);  // no second connection during the pause
  EXPECT_TRUE(rig.handler.Items().empty());
  EXPECT_EQ(rig.handler.Count("END"), 1u);
}

TEST(DriverThreadsTest, RefusedFirmwareIsAskedAgainAfterThePause) {
  TestAlerts alerts;
  MemoryRig rig({{HeaderWithFirmware("8.5a") + DataLines(0, 1), false},
                 {kHeaderBlock + DataLines(0, 1), false}});
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D0"));
  rig.driver->Stop();
  EXPECT_EQ(rig.handler.Items(), (std::vector<std::string>{"H77/8", "D0"}));
  EXPECT_EQ(alerts.Alerts().size(), 1u);
}

TEST(DriverThreadsTest, StopDoesNotWaitForTheOperator) {
  TestAlerts alerts(false);
  MemoryRig rig({{HeaderWithFirmware("8.5a") + DataLines(0, 1), false}, {kHeaderBlock}});
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(alerts.WaitForCount(1));
  const auto start = Clock::now();
  rig.driver->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rig.handler.Count("END"), 1u);
  EXPECT_EQ(rig.device->OpenCount(), 1);
}

// --- over a real loopback connection ---------------------------------------------------------

struct TcpRig {
  explicit TcpRig(testkit::FakeBox& box, AcquisitionTimeouts timeouts = FastTimeouts()) {
    TcpOptions options;
    options.host = Widen(box.Address());
    options.port = box.Port();
    timeouts.connect = 1000ms;
    auto link = std::make_unique<CTcpDevice>(options, timeouts);
    link->SetReceiveTimeout(5000ms);
    link->SetReconnectAllowed(true);
    ErrorInfo failure;
    EXPECT_TRUE(link->Open(failure));
    driver = std::make_unique<CQuintrelDriver>(&handler, std::move(link), timeouts);
  }
  RecordingHandler handler;
  std::unique_ptr<CQuintrelDriver> driver;
};

TEST(DriverOverTcpTest, BoxClosesTheConnectionAndDataResumes) {
  testkit::LogCapture log;
  testkit::FakeBox box("127.0.0.2");
  box.SetScripts({testkit::PlayInChunks(kHeaderBlock + DataLines(0, 200), 333, 0ms, true),
                  testkit::PlayAll(kHeaderBlock + DataLines(200, 400))});
  TcpRig rig(box);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D399"));
  rig.driver->Stop();
  std::vector<std::string> expected = {"H77/8"};
  for (const std::string& d : ExpectedData(0, 200)) expected.push_back(d);
  expected.push_back("H77/8");
  for (const std::string& d : ExpectedData(200, 400)) expected.push_back(d);
  EXPECT_EQ(rig.handler.Items(), expected);
  EXPECT_EQ(rig.handler.Count("END!"), 0u);
  EXPECT_EQ(box.Accepted(), 2u);
  EXPECT_TRUE(log.Contains("ProduceItem has failed"));
  EXPECT_TRUE(log.Contains("Device has connected. Start time: "));
}

TEST(DriverOverTcpTest, BoxRefusesTheReconnection) {
  testkit::LogCapture log;
  testkit::FakeBox box("127.0.0.3");
  box.SetScript(testkit::PlayAll(DataLines(0, 3)));
  TcpRig rig(box);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D2"));
  box.Refuse();
  box.CloseConnections();
  ASSERT_TRUE(rig.handler.WaitFor("END!"));
  EXPECT_EQ(rig.handler.Count("P0+"), 1u);
  EXPECT_TRUE(log.Contains("going out. Error code: 10061"));
  rig.driver->Stop();
}

TEST(DriverOverTcpTest, StopWhileTheReaderWaitsInAReceive) {
  testkit::FakeBox box("127.0.0.4");
  box.SetScript(testkit::PlayAll(DataLines(0, 1)));  // then silence
  AcquisitionTimeouts timeouts = FastTimeouts();
  timeouts.stopWait = 5000ms;
  TcpRig rig(box, timeouts);
  ASSERT_TRUE(rig.driver->Start());
  ASSERT_TRUE(rig.handler.WaitFor("D0"));
  const auto start = Clock::now();
  rig.driver->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rig.handler.Count("END"), 1u);
}

}  // namespace
}  // namespace tessamer
