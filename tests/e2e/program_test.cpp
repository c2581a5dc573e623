// The two executables together, as an operator would run them: vellumetric-sim with two boxes and
// tessamer --headless combining them, a viewer and a setpoint utility on the hub's ports.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "acquisition/job_parser.h"
#include "box_stream.h"
#include "e2e/child_process.h"
#include "testkit/fake_box.h"
#include "testkit/promtool.h"
#include "testkit/scratch_folder.h"
#include "testkit/text_client.h"
#if defined(TESSAMER_WITH_RECORDING)
#include "recording/sqlite_db.h"
#endif

namespace tessamer {
namespace {

using testkit::ChildProcess;
using testkit::TextClient;
using namespace std::chrono_literals;

TEST(SimulatorProgram, HelpAndBadOptions) {
  ChildProcess help;
  ASSERT_TRUE(help.Start(TESSAMER_SIM_PROGRAM, {"--help"}));
  int status = -1;
  ASSERT_TRUE(help.WaitExit(status));
  EXPECT_EQ(status, 0);
  ASSERT_FALSE(help.Lines().empty());
  EXPECT_EQ(help.Lines()[0], "Usage: vellumetric-sim [options]");

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--boxes", "17"}, {"--address", "10.0.0.2"}, {"--rate", "0"}, {"--what"}}) {
    ChildProcess bad;
    ASSERT_TRUE(bad.Start(TESSAMER_SIM_PROGRAM, args));
    ASSERT_TRUE(bad.WaitExit(status));
    EXPECT_EQ(status, 2) << args[0];
    EXPECT_THAT(bad.ErrorText(), ::testing::StartsWith("vellumetric-sim: ")) << args[0];
  }
}

#if defined(TESSAMER_PROGRAM)

int NumberAfter(const std::string& line, const std::string& key) {
  const size_t at = line.find(key + "=");
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + key.size() + 1);
}

std::string TempLogFile() {
  char name[] = "/tmp/tessamer-e2e-log-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  return name;
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::trunc) << text; }

// A configuration file of its own with `text`; the caller removes it.
std::string TempConfigFile(const std::string& text) {
  char name[] = "/tmp/tessamer-e2e-conf-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  WriteText(name, text);
  return name;
}

// Reads the viewer's lines until `wanted`, at most `limit` of them.
bool ReadUntil(TextClient& viewer, const std::string& wanted, int limit = 100) {
  std::string line;
  for (int i = 0; i < limit && viewer.ReadLine(line); ++i) {
    if (line == wanted) return true;
  }
  return false;
}

// A headless hub's arguments: first what keeps every test hub off the well-known ports and the
// LAN default box, with a log of its own, then `args` (a later option overrides an earlier one).
std::vector<std::string> HubArgs(const std::string& logFile, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--headless", "--default-box", "127.0.0.1", "--data-port", "0",
                                  "--utility-port", "0", "--log", logFile};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}


struct SimulatedBoxes {
  ChildProcess process;
  int dataPort = 0;
  int utilityPort = 0;

  void Start(std::vector<std::string> args) {
    ASSERT_TRUE(process.Start(TESSAMER_SIM_PROGRAM, args));
    std::string line;
    ASSERT_TRUE(process.WaitForPrefix("box 0 ", line)) << process.ErrorText();
    dataPort = NumberAfter(line, "data");
    utilityPort = NumberAfter(line, "utility");
    ASSERT_TRUE(process.WaitForPrefix("ready", line));
  }
};

TEST(TessamerProgram, VersionHelpAndBadOptions) {
  int status = -1;
  ChildProcess version;
  ASSERT_TRUE(version.Start(TESSAMER_PROGRAM, {"--version"}));
  ASSERT_TRUE(version.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_THAT(version.Lines(), ::testing::ElementsAre(::testing::MatchesRegex("tessamer [0-9]+\\.[0-9]+\\.[0-9]+")));

  ChildProcess help;
  ASSERT_TRUE(help.Start(TESSAMER_PROGRAM, {"--help"}));
  ASSERT_TRUE(help.WaitExit(status));
  EXPECT_EQ(status, 0);
  EXPECT_THAT(help.Lines(), ::testing::Contains(::testing::HasSubstr("--headless")));

  ChildProcess bad;
  ASSERT_TRUE(bad.Start(TESSAMER_PROGRAM, {"--headless", "--box", "127.0.0.2", "--channels", "9"}));
  ASSERT_TRUE(bad.WaitExit(status));
  EXPECT_EQ(status, 2);
  const std::string reason = bad.ErrorText();
  EXPECT_THAT(reason, ::testing::HasSubstr("--channels takes 1 to 6"));
  EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1);
}

// --check-config prints the settings of the file and the command line, or the line at fault.
TEST(TessamerProgram, CheckConfigPrintsTheSettingsOrTheLineAtFault) {
  const std::string logFile = TempLogFile();
  const std::string config = TempConfigFile("box = 127.0.0.2:6000\nchannels = 3\nkeep-trying = 5\n");
  ChildProcess good;
  ASSERT_TRUE(good.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--check-config", "--config", config,
                                                            "--channels", "2"})));
  int status = -1;
  ASSERT_TRUE(good.WaitExit(status));
  EXPECT_EQ(status, 0) << good.ErrorText();
  EXPECT_THAT(good.Lines(), ::testing::IsSupersetOf({"box = 127.0.0.2:6000", "channels = 2", "keep-trying = 5",
                                                     "default-box = 127.0.0.1"}));
  EXPECT_EQ(good.ErrorText(), "");

  WriteText(config, "box = 127.0.0.2\n\nchannels = 9\n");
  ChildProcess bad;
  ASSERT_TRUE(bad.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--check-config", "--config", config})));
  ASSERT_TRUE(bad.WaitExit(status));
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(bad.Lines().empty());
  EXPECT_THAT(bad.ErrorText(), ::testing::StartsWith("tessamer: " + config + ":3: channels takes 1 to 6: 9"));
  std::remove(config.c_str());
  std::remove(logFile.c_str());
}

// A folder of the test's own with a copy of the hub program, removed at the end of the test.
struct InstalledHub {
  std::filesystem::path folder;
  std::filesystem::path program;
  InstalledHub() {
    char name[] = "/tmp/tessamer-e2e-bin-XXXXXX";
    folder = mkdtemp(name) != nullptr ? name : "";
    program = folder / "tessamer";
    std::error_code error;
    std::filesystem::create_hard_link(TESSAMER_PROGRAM, program, error);
    if (error) std::filesystem::copy_file(TESSAMER_PROGRAM, program, error);
  }
  ~InstalledHub() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

// Without --headless the hub starts the window program beside its own executable with its own
// command line, in its own process; without that program it names the package that has it.
TEST(TessamerProgram, WindowIsTheProgramBesideTheHubOrItsPackageIsNamed) {
  InstalledHub installed;
  ASSERT_TRUE(std::filesystem::exists(installed.program));
  const std::vector<std::string> args = {"--demo", "--default-box", "127.0.0.1", "--channels", "3"};
  ChildProcess alone;
  ASSERT_TRUE(alone.Start(installed.program.string(), args));
  int status = -1;
  ASSERT_TRUE(alone.WaitExit(status));
  EXPECT_EQ(status, 2);
  const std::string reason = alone.ErrorText();
  EXPECT_THAT(reason, ::testing::HasSubstr("the window is in the package tessamer-window"));
  EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;

  // A stand-in window program that shows what it was given and which process it is.
  const std::filesystem::path window = installed.folder / "tessamer-window";
  WriteText(window.string(), "#!/bin/sh\necho \"window $$ $0 $*\"\nexit 7\n");
  std::filesystem::permissions(window, std::filesystem::perms::owner_all);
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(installed.program.string(), args));
  const pid_t pid = hub.Pid();
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 7) << hub.ErrorText();
  EXPECT_THAT(hub.Lines(), ::testing::ElementsAre("window " + std::to_string(pid) + " " + window.string() +
                                                  " --demo --default-box 127.0.0.1 --channels 3"));
}

TEST(TessamerProgram, WithoutADisplayTheWindowSaysSoInOneLine) {
  const auto window = std::filesystem::path(TESSAMER_PROGRAM).parent_path() / "tessamer-window";
  if (!std::filesystem::exists(window)) GTEST_SKIP() << "built without the window";
  ChildProcess hub;  // the hub hands its command line on to the window program
  ASSERT_TRUE(hub.Start("/usr/bin/env", {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                         "QT_QPA_PLATFORM", TESSAMER_PROGRAM, "--default-box",
                                         "127.0.0.1"}));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 2);
  const std::string reason = hub.ErrorText();
  EXPECT_THAT(reason, ::testing::HasSubstr("no display"));
  EXPECT_THAT(reason, ::testing::HasSubstr("--headless"));
  EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
}

// Two simulated boxes and a headless hub combining them, both running as child processes.
struct RunningHub {
  SimulatedBoxes boxes;
  ChildProcess hub;
  std::vector<std::string> environment;  // added to the hub's
  std::string logFile = TempLogFile();
  int dataPort = 0;
  int utilityPort = 0;

  ~RunningHub() { std::remove(logFile.c_str()); }

  // "127.0.0.<2 + i>:<port>" of simulated box i.
  std::string Box(int i) const { return "127.0.0." + std::to_string(2 + i) + ":" + std::to_string(boxes.dataPort); }

  void Start() {
    ASSERT_NO_FATAL_FAILURE(StartBoxes());
    ASSERT_NO_FATAL_FAILURE(StartHub({"--box", Box(0), "--box", Box(1), "--channels", "3", "--box-utility-port",
                                      std::to_string(boxes.utilityPort), "--default-box", "127.0.0.2"}));
  }

  void StartBoxes() { ASSERT_NO_FATAL_FAILURE(boxes.Start({"--boxes", "2", "--rate", "5"})); }

  // Starts the hub with HubArgs(args) and waits until it serves the combined header.
  void StartHub(const std::vector<std::string>& args) {
    ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, args), environment));
    std::string line;
    ASSERT_TRUE(hub.WaitForPrefix("listening ", line)) << hub.ErrorText();
    ASSERT_EQ(hub.Lines().front(), line);  // the first line of all
    dataPort = NumberAfter(line, "data");
    utilityPort = NumberAfter(line, "utility");
    ASSERT_GT(dataPort, 0);
    ASSERT_GT(utilityPort, 0);
    ASSERT_TRUE(hub.WaitForPrefix("headers-complete", line)) << hub.ErrorText();
    EXPECT_THAT(hub.Lines(), ::testing::IsSupersetOf({"activity row=0 status=Connected box=" + Box(0),
                                                      "activity row=1 status=Connected box=" + Box(1)}));
  }

  // SIGINT stops the run as the window's close would, within 6 s.
  void StopWithSigint() {
    const auto asked = std::chrono::steady_clock::now();
    hub.Signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(hub.WaitExit(status, 6s)) << "still running 6 s after SIGINT";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 6s);
    EXPECT_EQ(status, 0) << hub.ErrorText();
    EXPECT_THAT(hub.Lines(), ::testing::Contains("stopped"));
    boxes.process.Signal(SIGTERM);
    ASSERT_TRUE(boxes.process.WaitExit(status));
    EXPECT_EQ(status, 0);
  }
};

TEST(TessamerProgram, HeadlessHubServesTheCombinedStreamRoutesSetpointsAndStopsOnSigint) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.Start());
  std::string line;

  // A viewer gets the combined header block, then data lines of both boxes' first three channels.
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  std::vector<std::string> header;
  for (int i = 0; i < 9 && viewer.ReadLine(line); ++i) header.push_back(line);
  ASSERT_EQ(header.size(), 9u);
  EXPECT_EQ(header[0], "#  Quintrel Job Data\r\n");
  EXPECT_EQ(header[4], "# DialVariable Weight_0 Min 0.00 Max 50000.00\r\n");
  EXPECT_EQ(header[6], "# VariableList 0 1 2 3 4 5 \r\n");
  EXPECT_EQ(header[7], "# UnitList psi bpm lbs psi bpm lbs \r\n");
  EXPECT_EQ(header[8], "#Pressure_0 Rate_0 Weight_0 Pressure_1 Rate_1 Weight_1 \r\n");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(viewer.ReadLine(line));
    ASSERT_THAT(line, ::testing::EndsWith(" \r\n"));
    Data record{};
    ASSERT_TRUE(ParseDataLine(std::string_view(line).substr(0, line.size() - 2), record)) << line;
    EXPECT_EQ(record.count, 6) << line;
    EXPECT_GT(record.values[0], 0.0) << line;  // the boxes' pressures, never zero
    EXPECT_GT(record.values[3], 0.0) << line;
  }
  ASSERT_TRUE(run.hub.WaitForPrefix("client connected socket=", line));
  EXPECT_THAT(line, ::testing::MatchesRegex("client connected socket=[0-9]+ peer=127\\.0\\.0\\.1:[0-9]+"));

  // A setpoint for combined channel 4 is channel 1 of the second box.
  TextClient utility;
  ASSERT_TRUE(utility.Connect("127.0.0.1", static_cast<uint16_t>(run.utilityPort)));
  std::string greeting;
  ASSERT_TRUE(utility.ReadBytes(28, greeting));
  EXPECT_EQ(greeting, "Vellumetric-VMC: connected\r\n");
  ASSERT_TRUE(utility.Send("GS 4 12.5\r\n"));
  ASSERT_TRUE(run.boxes.process.WaitForPrefix("command box=", line));
  EXPECT_EQ(line, "command box=1 text=GS 1 12.5000");
  std::string reply;
  ASSERT_TRUE(utility.ReadLine(reply));
  EXPECT_EQ(reply, "Extended Command done 14\r\n");
  utility.Close();

  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
  EXPECT_TRUE(viewer.WaitClosed(5s));
}

#if defined(TESSAMER_WITH_RECORDING)
// The recorded lines of `file` in seq order, each with its line end as viewers get it, and the
// header blocks; the file must open cleanly.
struct Recorded {
  std::string integrity;
  std::vector<std::string> blocks;
  std::vector<std::string> lines;
};

Recorded ReadRecording(const std::string& file) {
  Recorded recorded;
  CSqliteDb db;
  if (!db.Open(file, true)) return recorded;
  recorded.integrity = db.QueryText("PRAGMA integrity_check").value_or("(none)");
  CSqliteStatement blocks = db.Prepare("SELECT block FROM headers ORDER BY header_id");
  while (blocks.Valid() && blocks.Next()) recorded.blocks.emplace_back(blocks.Text(0));
  CSqliteStatement lines = db.Prepare("SELECT line FROM records ORDER BY seq");
  while (lines.Valid() && lines.Next()) {
    recorded.lines.push_back(std::string(lines.Text(0)) + "\r\n");
  }
  return recorded;
}

std::string HttpGet(int port, const std::string& path);  // the body of a 200 answer; empty otherwise

// kill -9 of a recording hub: every record a viewer got 250 ms or more before the kill is in the
// file, as the viewer got it, and the file opens cleanly.
TEST(TessamerProgram, AKilledHubLeavesInItsRecordingEveryRecordAViewerGotUpTo250msBefore) {
  constexpr auto kCommitPromise = 250ms;
  testkit::ScratchFolder folder("tessamer-e2e-recording");
  const std::string file = folder.File("job.sqlite");
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.boxes.Start({"--boxes", "2", "--rate", "50"}));
  ASSERT_NO_FATAL_FAILURE(
      run.StartHub({"--box", run.Box(0), "--box", run.Box(1), "--record", file, "--status-port", "0"}));
  const int statusPort = NumberAfter(run.hub.Lines().front(), "status");
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  std::string block;
  std::string line;
  for (int i = 0; i < 9 && viewer.ReadLine(line); ++i) block += line;
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> got;
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until && viewer.ReadLine(line)) {
    got.emplace_back(line, std::chrono::steady_clock::now());
  }
  // The status endpoint answers from the same file (HTTP/1.0: the body ends with the connection).
  EXPECT_THAT(HttpGet(statusPort, "/records?format=jsonl&limit=5"),
              ::testing::ContainsRegex("^\\{\"seq\":[0-9]+,.*\"received_at\":.*\"values\":\\{\"Pressure_0\""));
  const auto killedAt = std::chrono::steady_clock::now();
  run.hub.Signal(SIGKILL);
  int status = -1;
  ASSERT_TRUE(run.hub.WaitExit(status));
  EXPECT_EQ(status, 128 + SIGKILL);

  std::vector<std::string> promised;  // a repeat of the line before is no record
  for (const auto& [text, at] : got) {
    if (at <= killedAt - kCommitPromise && (promised.empty() || promised.back() != text)) {
      promised.push_back(text);
    }
  }
  ASSERT_GT(promised.size(), 20u);
  const Recorded recorded = ReadRecording(file);
  EXPECT_EQ(recorded.integrity, "ok");
  EXPECT_THAT(recorded.blocks, ::testing::ElementsAre(block));
  const auto first = std::find(recorded.lines.begin(), recorded.lines.end(), promised.front());
  ASSERT_NE(first, recorded.lines.end()) << promised.front();
  ASSERT_GE(static_cast<size_t>(recorded.lines.end() - first), promised.size());
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(promised.size())),
            promised);
  run.boxes.process.Signal(SIGTERM);
  ASSERT_TRUE(run.boxes.process.WaitExit(status));
}
#endif  // TESSAMER_WITH_RECORDING

TEST(TessamerProgram, ViewerBoxCommandReachesTheDefaultBoxAndIsAnsweredToThatViewerAlone) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.Start());
  std::string line;
  TextClient viewer;
  TextClient other;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  ASSERT_TRUE(other.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(viewer.ReadLine(line));  // header and a data line
  ASSERT_TRUE(viewer.Send("## ST\n"));
  ASSERT_TRUE(run.boxes.process.WaitForPrefix("command box=", line));
  EXPECT_EQ(line, "command box=0 text=GC ST");
  bool answered = false;
  for (int i = 0; i < 50 && !answered && viewer.ReadLine(line); ++i) {
    answered = line.rfind("## DCC ", 0) == 0;
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(line, "## DCC OK_OT Extended Command done 7.Done.\r\n");
  for (int i = 0; i < 9 + 6; ++i) {  // the other viewer's header and data, and no answer
    ASSERT_TRUE(other.ReadLine(line));
    EXPECT_EQ(line.find("## DCC"), std::string::npos);
  }
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
}

TEST(TessamerProgram, HeadlessDemoRunsOnSimulatedBoxesAndEndsOnSigterm) {
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--demo"})));
  std::string line;
  ASSERT_TRUE(hub.WaitForPrefix("listening ", line)) << hub.ErrorText();
  const int dataPort = NumberAfter(line, "data");
  ASSERT_TRUE(hub.WaitForPrefix("headers-complete", line)) << hub.ErrorText();
  EXPECT_THAT(hub.Lines(), ::testing::IsSupersetOf({::testing::StartsWith("activity row=0 status=Connected box=127.0.0."),
                                                    ::testing::StartsWith("activity row=1 status=Connected box=127.0.0."),
                                                    ::testing::StartsWith("activity row=2 status=Connected box=127.0.0.")}));
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(dataPort)));
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(viewer.ReadLine(line));
  EXPECT_EQ(line, "#Pressure_0 Rate_0 Weight_0 Density_0 Pressure_1 Rate_1 Weight_1 Density_1 Pressure_2 Rate_2 "
                  "Weight_2 Density_2 \r\n");
  hub.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status, 6s));
  EXPECT_EQ(status, 0) << hub.ErrorText();
  EXPECT_THAT(hub.Lines(), ::testing::Contains("stopped"));
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, UnreachableBoxEndsTheRunWithStatusThree) {
  SimulatedBoxes boxes;
  ASSERT_NO_FATAL_FAILURE(boxes.Start({"--boxes", "1"}));
  // A bound port that does not listen refuses at once.
  asio::io_context context;
  asio::ip::tcp::socket closed(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.9"), 0));
  const std::string refusing = "127.0.0.9:" + std::to_string(closed.local_endpoint().port());
  ChildProcess hub;
  const std::string logFile = TempLogFile();
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM,
                        HubArgs(logFile, {"--box", "127.0.0.2:" + std::to_string(boxes.dataPort), "--box", refusing})));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status, 20s)) << hub.ErrorText();
  EXPECT_EQ(status, 3) << hub.ErrorText();
  EXPECT_THAT(hub.Lines(),
              ::testing::IsSupersetOf(std::vector<std::string>{
                  "activity row=0 status=Connected box=127.0.0.2:" + std::to_string(boxes.dataPort),
                  "activity row=1 status=ConnectFailed box=" + refusing + " reason=\"Connection refused\"",
                  "stopped"}));
  EXPECT_THAT(hub.Lines(), ::testing::Not(::testing::Contains("headers-complete")));
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, DataPortInUseGivesStatusFour) {
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--box", "127.0.0.2:1", "--data-port",
                                                            std::to_string(taken.local_endpoint().port())})));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 4);
  EXPECT_THAT(hub.ErrorText(), ::testing::HasSubstr("alert: Could not start server. Detail: "));
  EXPECT_THAT(hub.Lines(), ::testing::Not(::testing::Contains(::testing::StartsWith("listening"))));
  std::remove(logFile.c_str());
}

// The body of an HTTP/1.0 GET of `path` on 127.0.0.1:`port`; empty when it did not answer 200.
std::string HttpGet(int port, const std::string& path) {
  TextClient client;
  std::string response;
  if (!client.Connect("127.0.0.1", static_cast<uint16_t>(port)) || !client.Send("GET " + path + " HTTP/1.0\r\n\r\n") ||
      !client.ReadToEnd(response) || response.rfind("HTTP/1.1 200 ", 0) != 0) {
    return {};
  }
  const size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : response.substr(body + 4);
}

// Waits until the hub's /status body does (`wanted`) or does not contain `text`, up to `deadline`.
bool WaitForStatus(int port, const std::string& text, bool wanted,
                   std::chrono::steady_clock::time_point deadline) {
  do {
    const std::string body = HttpGet(port, "/status");
    if (!body.empty() && (body.find(text) != std::string::npos) == wanted) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// A box's job header and nothing more.
constexpr const char* kHeaderOnly =
    "#  Vellumetric Primary Job Data\r\n"
    "# SerialNumber VM-20417\r\n"
    "# Firmware Version 8.7c\r\n"
    "# JobType Cementing\r\n"
    "# DialVariable Weight Min 0 Max 50000\r\n"
    "# VariableList 0 1\r\n"
    "# UnitList psi bpm\r\n"
    "#Pressure Rate\r\n";

// A box that keeps its link, sends its header and no record: the headless line and /status say
// it is silent within a second of each other, through the driver's reconnections of the quiet
// link; its next record ends the silence in both.
TEST(TessamerProgram, SilenceIsToldAlikeInTheHeadlessLinesAndTheStatusEndpoint) {
  testkit::FakeBox box("127.0.0.2");
  box.SetScript(testkit::PlayAll(kHeaderOnly));
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM,
                        HubArgs(logFile, {"--box", "127.0.0.2:" + std::to_string(box.Port()),
                                          "--status-port", "0", "--silent-after", "0.5"})));
  std::string line;
  ASSERT_TRUE(hub.WaitForPrefix("listening ", line)) << hub.ErrorText();
  const int statusPort = NumberAfter(line, "status");
  ASSERT_GT(statusPort, 0) << line;
  const std::string silentState = "\"state\":\"silent\"";
  ASSERT_TRUE(hub.WaitForPrefix("silent row=0 ", line));
  EXPECT_TRUE(WaitForStatus(statusPort, silentState, true, std::chrono::steady_clock::now() + 1s));

  // The driver gives up on the quiet link and connects again: still silent, in both places.
  ASSERT_TRUE(box.WaitForAccepted(2, 20s));
  ASSERT_TRUE(WaitForStatus(statusPort, "\"reconnections\":1", true,
                            std::chrono::steady_clock::now() + 10s));
  EXPECT_NE(HttpGet(statusPort, "/status").find(silentState), std::string::npos);
  EXPECT_THAT(hub.Lines(), ::testing::Not(::testing::Contains(::testing::StartsWith("speaking"))));

  ASSERT_TRUE(box.WaitForOpenConnections(1));
  box.Send("03/14/25 09:30:00 1512.2500 4.2000\r\n");
  ASSERT_TRUE(hub.WaitForPrefix("speaking row=0", line));
  EXPECT_TRUE(WaitForStatus(statusPort, silentState, false, std::chrono::steady_clock::now() + 1s));
  EXPECT_EQ(std::count(hub.Lines().begin(), hub.Lines().end(), line), 1);
  hub.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status, 6s));
  EXPECT_EQ(status, 0) << hub.ErrorText();
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, UtilityPortInUseGivesStatusFour) {
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM,
                        HubArgs(logFile, {"--box", "127.0.0.2:1", "--listen", "127.0.0.1",
                                          "--utility-port",
                                          std::to_string(taken.local_endpoint().port())})));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 4);
  EXPECT_THAT(hub.ErrorText(),
              ::testing::HasSubstr("alert: Could not start server. Detail: The utility server could "
                                   "not be started on port: "));
  EXPECT_THAT(hub.Lines(), ::testing::Not(::testing::Contains(::testing::StartsWith("listening"))));
  std::remove(logFile.c_str());
}

// One box off at the start: the other is served; once the box answers, the run starts again
// with both and viewers get the whole header.
TEST(TessamerProgram, ServeAvailableServesTheBoxThatAnswersThenEveryBox) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  std::string line;
  ASSERT_TRUE(run.boxes.process.WriteLine("refuse 1"));
  ASSERT_TRUE(run.boxes.process.WaitForPrefix("ok: refuse 1", line));
  ASSERT_TRUE(run.hub.Start(TESSAMER_PROGRAM,
                            HubArgs(run.logFile, {"--box", run.Box(0), "--box", run.Box(1),
                                                  "--channels", "2", "--serve-available",
                                                  "--keep-trying", "0.1"})));
  ASSERT_TRUE(run.hub.WaitForPrefix("listening ", line)) << run.hub.ErrorText();
  const int dataPort = NumberAfter(line, "data");
  ASSERT_TRUE(run.hub.WaitForPrefix("run partial waiting=1", line)) << run.hub.ErrorText();
  ASSERT_TRUE(run.hub.WaitForPrefix("headers-complete", line));
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(dataPort)));
  EXPECT_TRUE(ReadUntil(viewer, "#Pressure_0 Rate_0 \r\n", 20));
  ASSERT_TRUE(viewer.ReadLine(line));
  Data record{};
  ASSERT_TRUE(ParseDataLine(std::string_view(line).substr(0, line.size() - 2), record)) << line;
  EXPECT_EQ(record.count, 2);

  ASSERT_TRUE(run.boxes.process.WriteLine("accept 1"));
  ASSERT_TRUE(run.hub.WaitForPrefix("activity row=1 status=Connected", line));
  ASSERT_TRUE(run.hub.WaitForPrefix("headers-complete", line));
  EXPECT_TRUE(ReadUntil(viewer, "#Pressure_0 Rate_0 Pressure_1 Rate_1 \r\n", 1000));
  EXPECT_THAT(run.hub.Lines(), ::testing::Not(::testing::Contains("stopped")));
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
}

TEST(TessamerProgram, StatusEndpointShowsARunningHubToStatusAndPromtool) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  ASSERT_NO_FATAL_FAILURE(run.StartHub({"--box", run.Box(0), "--box", run.Box(1), "--box-utility-port",
                                        std::to_string(run.boxes.utilityPort), "--status-port", "0"}));
  const int statusPort = NumberAfter(run.hub.Lines().front(), "status");
  ASSERT_GT(statusPort, 0) << run.hub.Lines().front();

  ChildProcess show;
  ASSERT_TRUE(show.Start(TESSAMER_PROGRAM, {"--status", std::to_string(statusPort)}));
  int status = -1;
  ASSERT_TRUE(show.WaitExit(status));
  EXPECT_EQ(status, 0) << show.ErrorText();
  ASSERT_FALSE(show.Lines().empty());
  EXPECT_THAT(show.Lines()[0], ::testing::StartsWith("run: "));
  EXPECT_THAT(show.Lines(), ::testing::Contains(::testing::MatchesRegex("boxes \\([0-9]+\\)")));
  EXPECT_THAT(show.Lines(), ::testing::Contains(::testing::MatchesRegex("row +address +state +since .*")));
  EXPECT_THAT(show.Lines(), ::testing::Contains(::testing::MatchesRegex("viewers \\([0-9]+\\)")));

  const std::string metrics = HttpGet(statusPort, "/metrics");
  EXPECT_THAT(metrics, ::testing::HasSubstr("\ntessamer_run_active "));
  if (testkit::HavePromtool()) {
    std::string report;
    EXPECT_TRUE(testkit::PromtoolAccepts(metrics, report)) << report << metrics;
  }
  EXPECT_EQ(HttpGet(statusPort, "/nothing"), "");

  // A second hub asking for the same status port is refused, and the first keeps it alone.
  ChildProcess second;
  const std::string secondLog = TempLogFile();
  ASSERT_TRUE(second.Start(TESSAMER_PROGRAM, HubArgs(secondLog, {"--box", "127.0.0.2:1", "--status-port",
                                                                 std::to_string(statusPort)})));
  ASSERT_TRUE(second.WaitExit(status));
  EXPECT_EQ(status, 4) << second.ErrorText();
  std::remove(secondLog.c_str());
  for (int i = 0; i < 4; ++i) EXPECT_THAT(HttpGet(statusPort, "/status"), ::testing::StartsWith("{\"takenAt\":"));
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());

  ChildProcess nothing;  // the hub has gone: nothing listens on its status port
  ASSERT_TRUE(nothing.Start(TESSAMER_PROGRAM, {"--status", "127.0.0.1:" + std::to_string(statusPort)}));
  ASSERT_TRUE(nothing.WaitExit(status));
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(nothing.Lines().empty());
  EXPECT_EQ(nothing.ErrorText(), "tessamer: no hub answers at 127.0.0.1:" + std::to_string(statusPort) +
                                     ": nothing listens there\n");
}

TEST(TessamerProgram, TakenStatusPortGivesStatusFourBeforeAnythingListens) {
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string port = std::to_string(taken.local_endpoint().port());
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--box", "127.0.0.2:1", "--status-port", port})));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 4);
  const std::string reason = hub.ErrorText();
  EXPECT_THAT(reason, ::testing::StartsWith("alert: Could not start server. Detail: The status endpoint cannot listen on "
                                            "127.0.0.1:" + port + ": "));
  EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
  EXPECT_TRUE(hub.Lines().empty());  // not even "listening"
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, TricklingStatusClientHoldsNeitherOtherRequestsNorTheStop) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  ASSERT_NO_FATAL_FAILURE(run.StartHub({"--box", run.Box(0), "--box", run.Box(1), "--box-utility-port",
                                        std::to_string(run.boxes.utilityPort), "--status-port", "0"}));
  const int statusPort = NumberAfter(run.hub.Lines().front(), "status");
  ASSERT_GT(statusPort, 0);
  TextClient trickling;
  ASSERT_TRUE(trickling.Connect("127.0.0.1", static_cast<uint16_t>(statusPort)));
  ASSERT_TRUE(trickling.Send("GET /status HTTP/1.1\r\nX-Slow: "));
  EXPECT_THAT(HttpGet(statusPort, "/status"), ::testing::StartsWith("{\"takenAt\":"));
  ASSERT_TRUE(trickling.Send("a"));
  run.hub.Signal(SIGTERM);
  int status = -1;
  EXPECT_TRUE(run.hub.WaitExit(status, 2s)) << "still running 2 s after SIGTERM";
  EXPECT_EQ(status, 0) << run.hub.ErrorText();
  EXPECT_TRUE(trickling.WaitClosed());
}

TEST(TessamerProgram, StatusEndpointBeyondLoopbackWithoutATokenStopsTheStart) {
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, {"--box", "127.0.0.2:1", "--status-port", "0",
                                                            "--status-listen", "0.0.0.0"})));
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(hub.ErrorText(), "tessamer: --status-listen 0.0.0.0 serves the status page beyond this machine: give "
                             "--status-token-file FILE, or --status-open to serve it to anyone\n");
  EXPECT_TRUE(hub.Lines().empty());  // nothing started
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, GuardedStatusEndpointIsShownWithItsTokenOnly) {
  const std::string tokenFile = TempConfigFile("e2e-Token-42\n");
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  ASSERT_NO_FATAL_FAILURE(run.StartHub({"--box", run.Box(0), "--box", run.Box(1), "--box-utility-port",
                                        std::to_string(run.boxes.utilityPort), "--status-port", "0",
                                        "--status-token-file", tokenFile}));
  const std::string port = std::to_string(NumberAfter(run.hub.Lines().front(), "status"));
  EXPECT_EQ(HttpGet(std::stoi(port), "/status"), "");  // 401
  ChildProcess without;
  ASSERT_TRUE(without.Start(TESSAMER_PROGRAM, {"--status", port}));
  int status = -1;
  ASSERT_TRUE(without.WaitExit(status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(without.ErrorText(), "tessamer: 127.0.0.1:" + port + " asks for a token: give --status-token-file FILE\n");
  ChildProcess with;
  ASSERT_TRUE(with.Start(TESSAMER_PROGRAM, {"--status", port, "--status-token-file", tokenFile}));
  ASSERT_TRUE(with.WaitExit(status));
  EXPECT_EQ(status, 0) << with.ErrorText();
  EXPECT_THAT(with.Lines(), ::testing::Contains(::testing::MatchesRegex("boxes \\(2\\)")));
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
  std::remove(tokenFile.c_str());
}

TEST(TessamerProgram, ConfigurationFileServesItsBoxesAndTheCommandLineOverridesIt) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  const std::string config = TempConfigFile("# two simulated boxes\nbox = " + run.Box(0) +
                                            "\nchannels = 3\nbox = \"" + run.Box(1) + "\"\nbox-utility-port = " +
                                            std::to_string(run.boxes.utilityPort) + "\nlisten = 127.0.0.1\n");
  ASSERT_NO_FATAL_FAILURE(run.StartHub({"--config", config, "--channels", "2"}));
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  std::string line;
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(viewer.ReadLine(line));
  EXPECT_EQ(line, "#Pressure_0 Rate_0 Pressure_1 Rate_1 \r\n");  // two channels of each box
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
  std::remove(config.c_str());
}

TEST(TessamerProgram, BadConfigurationGivesStatusTwoAndNamesTheLine) {
  struct Case {
    std::string text;
    std::vector<std::string> args;
    std::string reason;  // after "tessamer: <file>", or the whole reason without a file
  };
  std::string seventeen;
  for (int i = 0; i < 17; ++i) seventeen += "box = 127.0.0." + std::to_string(2 + i) + "\n";
  const std::vector<Case> cases = {
      {"channels = 2\nfrobnicate = 1\n", {}, ":2: frobnicate is not a setting"},
      {"box = 127.0.0.2\nbox = 300.1.1.1\n", {}, ":2: box takes ADDRESS[:PORT]"},
      {"\nchannels = 7\n", {}, ":2: channels takes 1 to 6: 7"},
      {"box = 127.0.0.2:6000\nbox = 127.0.0.2:6000\n", {}, ":2: box names the same box twice: 127.0.0.2:6000"},
      {"", {"--box", "127.0.0.2", "--box", "127.0.0.2:5000"}, "--box names the same box twice: 127.0.0.2:5000"},
      {seventeen, {}, ":17: box is allowed at most 16 times"},
  };
  const std::string logFile = TempLogFile();
  for (const Case& c : cases) {
    const std::string config = TempConfigFile(c.text);
    std::vector<std::string> args = {"--config", config};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess hub;
    ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM, HubArgs(logFile, args)));
    int status = -1;
    ASSERT_TRUE(hub.WaitExit(status));
    EXPECT_EQ(status, 2) << c.reason;
    const std::string reason = hub.ErrorText();
    EXPECT_THAT(reason, ::testing::StartsWith("tessamer: " + (c.reason[0] == ':' ? config : "") + c.reason));
    EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
    std::remove(config.c_str());
  }
  std::remove(logFile.c_str());
}

TEST(TessamerProgram, KeepTryingKeepsViewersWhileABoxRefusesAndStartsOnceItAccepts) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  std::string line;
  ASSERT_TRUE(run.boxes.process.WriteLine("refuse 1"));
  ASSERT_TRUE(run.boxes.process.WaitForPrefix("ok: refuse 1", line));
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.hub.Start(TESSAMER_PROGRAM,
                            HubArgs(run.logFile, {"--box", run.Box(0), "--box", run.Box(1), "--channels", "3",
                                                  "--box-utility-port", std::to_string(run.boxes.utilityPort),
                                                  "--keep-trying", "0.2"})));
  ASSERT_TRUE(run.hub.WaitForPrefix("listening ", line)) << run.hub.ErrorText();
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(NumberAfter(line, "data"))));

  std::vector<std::string> retries;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(run.hub.WaitForPrefix("run retry ", line)) << run.hub.ErrorText();
    retries.push_back(line);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);  // the first two waits
  EXPECT_THAT(retries, ::testing::ElementsAre("run retry in=0.2 reason=unreachable", "run retry in=0.4 reason=unreachable",
                                              "run retry in=0.8 reason=unreachable"));
  EXPECT_THAT(run.hub.Lines(), ::testing::Contains(::testing::StartsWith("activity row=1 status=ConnectFailed box=")));

  ASSERT_TRUE(run.boxes.process.WriteLine("accept 1"));
  ASSERT_TRUE(run.boxes.process.WaitForPrefix("ok: accept 1", line));
  ASSERT_TRUE(run.hub.WaitForPrefix("headers-complete", line)) << run.hub.ErrorText();
  // The viewer, connected since before the first attempt, is served the run once it starts.
  EXPECT_TRUE(ReadUntil(viewer, "#Pressure_0 Rate_0 Weight_0 Pressure_1 Rate_1 Weight_1 \r\n", 9));
  EXPECT_THAT(run.hub.Lines(), ::testing::Contains(::testing::StartsWith("client connected socket=")));
  EXPECT_THAT(run.hub.Lines(), ::testing::Not(::testing::Contains(::testing::StartsWith("client disconnected"))));
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
}

TEST(TessamerProgram, SighupRereadsTheConfigurationAndRestartsTheRunOnlyForNewBoxes) {
  RunningHub run;
  ASSERT_NO_FATAL_FAILURE(run.StartBoxes());
  const std::string settings = "box-utility-port = " + std::to_string(run.boxes.utilityPort) + "\nchannels = 2\n";
  const std::string config =
      TempConfigFile(settings + "box = " + run.Box(0) + "\nbox = " + run.Box(1) + "\nlisten = 127.0.0.1\n");
  ASSERT_NO_FATAL_FAILURE(run.StartHub({"--config", config}));
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", static_cast<uint16_t>(run.dataPort)));
  ASSERT_TRUE(ReadUntil(viewer, "#Pressure_0 Rate_0 Pressure_1 Rate_1 \r\n", 9));
  std::string line;

  run.hub.Signal(SIGHUP);  // the same file
  ASSERT_TRUE(run.hub.WaitForPrefix("reload ", line));
  EXPECT_EQ(line, "reload unchanged");

  WriteText(config, "box = " + run.Box(0) + "\nchannels = 9\n");
  run.hub.Signal(SIGHUP);
  ASSERT_TRUE(run.hub.WaitForPrefix("reload ", line));
  EXPECT_EQ(line, "reload failed reason=" + config + ":2: channels takes 1 to 6: 9");
  EXPECT_THAT(run.hub.Lines(), ::testing::Not(::testing::Contains("stopped")));  // still the first run

  WriteText(config, settings + "box = " + run.Box(1) + "\nlisten = 127.0.0.5\n");
  run.hub.Signal(SIGHUP);
  ASSERT_TRUE(run.hub.WaitForPrefix("reload ", line));
  EXPECT_EQ(line, "reload kept=listen reason=restart-needed");
  ASSERT_TRUE(run.hub.WaitForPrefix("reload ", line));
  EXPECT_EQ(line, "reload restart boxes=1 channels=2");
  ASSERT_TRUE(run.hub.WaitForPrefix("stopped", line));
  ASSERT_TRUE(run.hub.WaitForPrefix("headers-complete", line)) << run.hub.ErrorText();
  EXPECT_TRUE(ReadUntil(viewer, "#Pressure_0 Rate_0 \r\n"));  // the second box alone, on the same port
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
  std::remove(config.c_str());
}

// Descriptors the process `pid` holds open.
size_t OpenDescriptors(pid_t pid) {
  const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  size_t count = 0;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) ++count;
  return count;
}

// Polls the process's descriptor count until it is `count` or `timeout` passes; the last count.
size_t WaitForDescriptors(pid_t pid, size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t now = OpenDescriptors(pid);
  while (now != count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);  // nothing to wait on: /proc has no change notice
    now = OpenDescriptors(pid);
  }
  return now;
}

// A box with two channels whose first carries the record's sequence number.
sim::BoxSetup SequencedBox() {
  sim::BoxSetup setup;
  setup.dialVariable = "Seq";
  setup.channels = {sim::ChannelSetup{"Seq", "n", 0.0, 0.0, 0.0}, sim::ChannelSetup{"Level", "ft", 0.0, 0.0, 0.0}};
  return setup;
}

// Record `sequence` of a sequenced box: one second after the previous one.
std::string SequencedRecord(uint64_t sequence, double level) {
  std::tm time{};
  time.tm_year = 125;
  time.tm_mon = 2;
  time.tm_mday = 14;
  time.tm_hour = 9 + static_cast<int>(sequence / 3600);
  time.tm_min = static_cast<int>(sequence / 60 % 60);
  time.tm_sec = static_cast<int>(sequence % 60);
  return sim::DataLineText(time, -1, {static_cast<double>(sequence), level});
}

// `size` bytes of noise that never begin a header or data line: no digit and no "#" anywhere.
std::string Noise(size_t size, std::mt19937& random) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes;
  while (bytes.size() < size) {
    const char c = static_cast<char>(byte(random));
    if (c == '#' || (c >= '0' && c <= '9')) continue;
    bytes.push_back(c);
  }
  return bytes;
}

// `count` lines a confused viewer might send: text, blanks, header-like lines, over-long lines and
// now and then a "##" command for the default box.
std::string JunkLines(int count, std::mt19937& random) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    switch (random() % 6) {
      case 0: text += "\r\n"; break;
      case 1: text += "# not a header " + std::to_string(i) + "\n"; break;
      case 2: text += std::string(300 + random() % 700, 'j') + "\r\n"; break;
      case 3: text += (i % 500 == 0 ? "## ST " : "#  #") + std::to_string(i) + "\n"; break;
      case 4: text += Noise(40, random) + "\n"; break;
      default: text += "GS 1 12.5\r\n"; break;
    }
  }
  return text;
}

// Sends one setpoint through the hub's utility port and reads the box's answer relayed back.
void ExpectSetpointAnswered(uint16_t utilityPort, std::chrono::milliseconds bound) {
  TextClient utility;
  ASSERT_TRUE(utility.Connect("127.0.0.1", utilityPort));
  std::string text;
  ASSERT_TRUE(utility.ReadBytes(28, text, bound));
  EXPECT_EQ(text, "Vellumetric-VMC: connected\r\n");
  ASSERT_TRUE(utility.Send("GS 1 12.5\r\n"));
  ASSERT_TRUE(utility.ReadLine(text, bound)) << "no answer within " << bound.count() << " ms";
  EXPECT_EQ(text, "Extended Command done 14\r\n");
}

// Hostile and broken peers around a hub that serves two boxes: a viewer that never reads, one that
// sends a 1 MiB line without a line end, one that sends 10,000 junk lines, a box that sends noise
// and a 1 MiB line between its records, a utility that trickles and one that stays idle. A
// well-behaved viewer still gets every combined record in order, a legitimate utility is answered,
// and once the hostile peers have gone the hub holds as many descriptors as before.
TEST(TessamerProgram, HostilePeersCostNoRecordAndLeaveNoDescriptor) {
  testkit::FakeBox first("127.0.0.2");
  testkit::FakeBox second("127.0.0.3");
  first.SetScript(testkit::PlayAll(sim::HeaderBlockText(SequencedBox(), "VM-1")));
  second.SetScript(testkit::PlayAll(sim::HeaderBlockText(SequencedBox(), "VM-2")));
  const std::string logFile = TempLogFile();
  ChildProcess hub;
  ASSERT_TRUE(hub.Start(TESSAMER_PROGRAM,
                        HubArgs(logFile, {"--box", "127.0.0.2:" + std::to_string(first.Port()), "--box",
                                          "127.0.0.3:" + std::to_string(second.Port()), "--channels", "2",
                                          "--box-utility-port", std::to_string(first.UtilityPort())})));
  std::string line;
  ASSERT_TRUE(hub.WaitForPrefix("listening ", line)) << hub.ErrorText();
  const auto dataPort = static_cast<uint16_t>(NumberAfter(line, "data"));
  const auto utilityPort = static_cast<uint16_t>(NumberAfter(line, "utility"));
  ASSERT_TRUE(hub.WaitForPrefix("headers-complete", line)) << hub.ErrorText();

  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", dataPort));
  ASSERT_TRUE(ReadUntil(viewer, "#Seq_0 Level_0 Seq_1 Level_1 \r\n", 20));
  // Counted with no utility connected: the hub keeps its link to a box's utility port only while
  // one is.
  const size_t descriptors = OpenDescriptors(hub.Pid());
  ASSERT_GT(descriptors, 0u);

  TextClient neverReads, longLine, junk, idleUtility, trickle;
  ASSERT_TRUE(neverReads.Connect("127.0.0.1", dataPort));
  ASSERT_TRUE(longLine.Connect("127.0.0.1", dataPort));
  ASSERT_TRUE(junk.Connect("127.0.0.1", dataPort));
  ASSERT_TRUE(idleUtility.Connect("127.0.0.1", utilityPort));
  ASSERT_TRUE(trickle.Connect("127.0.0.1", utilityPort));

  std::mt19937 random(11);
  const std::string junkText = JunkLines(10000, random);
  const std::string longText(1 << 20, 'L');
  constexpr size_t kPiece = 64 * 1024;
  constexpr uint64_t kRecords = 400;
  bool longLineOpen = true;
  bool junkOpen = true;
  auto nextTrickle = std::chrono::steady_clock::now();
  const std::string trickleText = "GS 1 1" + std::string(200, '0');
  size_t trickled = 0;

  for (uint64_t sequence = 1; sequence <= kRecords; ++sequence) {
    const size_t step = sequence - 1;
    if (longLineOpen && step * kPiece < longText.size()) {
      longLineOpen = longLine.Send(std::string_view(longText).substr(step * kPiece, kPiece), 2s);
    }
    if (junkOpen && step < 100) {
      const size_t from = step * junkText.size() / 100;
      const size_t to = (step + 1) * junkText.size() / 100;
      junkOpen = junk.Send(std::string_view(junkText).substr(from, to - from), 2s);
    }
    if (std::chrono::steady_clock::now() >= nextTrickle && trickled < trickleText.size()) {
      trickle.Send(trickleText.substr(trickled++, 1), 1s);
      nextTrickle += 100ms;
    }
    if (sequence == 100) {
      second.Send(Noise(64 * 1024, random) + "\r\n");
      second.Send(std::string(1 << 20, 'B') + "\r\n");
    }
    if (sequence == 200) {
      SCOPED_TRACE("a legitimate utility among a trickling and an idle one");
      ASSERT_NO_FATAL_FAILURE(ExpectSetpointAnswered(utilityPort, 3s));
    }
    first.Send(SequencedRecord(sequence, 1.5));
    second.Send(SequencedRecord(sequence, 2.5));
    ASSERT_TRUE(viewer.ReadLine(line)) << "record " << sequence << " did not arrive";
    Data record{};
    ASSERT_TRUE(ParseDataLine(std::string_view(line).substr(0, line.size() - 2), record)) << line;
    ASSERT_EQ(record.count, 4) << line;
    ASSERT_EQ(record.values[0], static_cast<double>(sequence)) << line;
    ASSERT_EQ(record.values[2], static_cast<double>(sequence)) << line;
    EXPECT_EQ(record.values[1], 1.5) << line;
    EXPECT_EQ(record.values[3], 2.5) << line;
  }
  EXPECT_EQ(first.Accepted(), 1u) << "the first box was reconnected";
  EXPECT_EQ(second.Accepted(), 1u) << "the second box was reconnected";

  neverReads.Close();
  longLine.Close();
  junk.Close();
  idleUtility.Close();
  trickle.Close();
  ASSERT_NO_FATAL_FAILURE(ExpectSetpointAnswered(utilityPort, 5s));
  EXPECT_EQ(WaitForDescriptors(hub.Pid(), descriptors, 15s), descriptors);

  hub.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(hub.WaitExit(status, 6s));
  EXPECT_EQ(status, 0) << hub.ErrorText();
  std::remove(logFile.c_str());
}

// A datagram socket in a folder of its own, standing in for systemd's notification socket.
class NotifySocket {
 public:
  NotifySocket() {
    char folder[] = "/tmp/tessamer-notify-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    dir = folder;
    path = dir + "/notify";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~NotifySocket() {
    if (fd >= 0) close(fd);
    std::remove(path.c_str());
    std::remove(dir.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool Bound() const { return fd >= 0; }
  const std::string& Path() const { return path; }
  // The next datagram, within `timeout`; false when none came.
  bool Receive(std::string& text, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) return false;
    text.assign(buffer, static_cast<size_t>(n));
    return true;
  }

 private:
  std::string dir;
  std::string path;
  int fd = -1;
};

TEST(TessamerProgram, TellsItsServiceManagerReadyStatusWatchdogAndStopping) {
#if !defined(TESSAMER_WITH_SYSTEMD)
  GTEST_SKIP() << "built without libsystemd: no notifications";
#else
  NotifySocket manager;
  ASSERT_TRUE(manager.Bound());
  RunningHub run;
  run.environment = {"NOTIFY_SOCKET=" + manager.Path(), "WATCHDOG_USEC=200000"};
  ASSERT_NO_FATAL_FAILURE(run.Start());
  std::vector<std::string> states;
  std::string state;
  while (state != "WATCHDOG=1" && manager.Receive(state, 5s)) states.push_back(state);
  ASSERT_NO_FATAL_FAILURE(run.StopWithSigint());
  while (manager.Receive(state, 0ms)) states.push_back(state);  // the hub has ended: all are here

  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front(), "READY=1");
  const auto at = [&states](const std::string& wanted) {
    return std::find(states.begin(), states.end(), wanted) - states.begin();
  };
  const auto firstStatus = std::find_if(states.begin(), states.end(),
                                        [](const std::string& s) { return s.rfind("STATUS=", 0) == 0; }) -
                           states.begin();
  EXPECT_LT(firstStatus, at("WATCHDOG=1"));
  EXPECT_LT(at("WATCHDOG=1"), at("STOPPING=1"));
  EXPECT_EQ(states.back(), "STOPPING=1");
  EXPECT_THAT(states, ::testing::Contains("STATUS=2 of 2 boxes connected, 0 viewers"));
#endif
}

#endif  // TESSAMER_PROGRAM

}  // namespace
}  // namespace tessamer
