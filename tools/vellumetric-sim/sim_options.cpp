#include "sim_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>

#include "hub/core/records.h"
#include "support/ipv4_text.h"
#include "support/number_text.h"

namespace tessamer::sim {
namespace {

constexpr const char* kProgramName = "vellumetric-sim";
constexpr int64_t kDefaultBoxCount = 2;
constexpr int64_t kMaxPort = 65535;
constexpr double kMaxRate = 1000.0;         // records per second
constexpr int64_t kMaxSlotMs = 60000;
constexpr int64_t kMaxPiece = 1 << 20;      // bytes
constexpr int64_t kMaxSeed = 0xffffffffLL;
constexpr int64_t kMaxSequenceStart = 1000000000;  // well inside a double's whole numbers
constexpr size_t kHelpColumn = 24;          // where the options' descriptions start in --help
// A channel that --channels adds beyond the default set.
const ChannelSetup kAddedChannel{"", "", 100.0, 20.0, 0.5};

constexpr const char* kDescription =
    "Simulates 1 to 16 Vellumetric logger boxes on loopback addresses. Each box listens on a\n"
    "data port (a header block, then one data line per record) and a utility port (a banner,\n"
    "\"help\", and \"G\" commands acknowledged with \"Extended Command done <bytes>\" and\n"
    "\"Done\").";

constexpr const char* kFooter =
    "Output: one line per box, \"box <i> address=<a> data=<port> utility=<port>\", then\n"
    "\"ready\"; then \"command box=<i> text=<request>\" for every utility request.\n"
    "Standard input takes control lines: \"drop <i>\" (close the box's data connections),\n"
    "\"refuse <i>\" / \"accept <i>\" (stop / resume listening on its data port),\n"
    "\"silent <i>\" / \"speak <i>\" (stop / resume its data lines), \"noise <i>\" / \"clean <i>\"\n"
    "(start / stop a line of line noise before each data line), \"quit\".\n"
    "SIGINT or SIGTERM end the program.";

// What the command line says, before it becomes one setup per box.
struct CommandLine {
  int64_t boxCount = kDefaultBoxCount;
  uint32_t firstAddress = kFirstBoxAddress;
  BoxSetup setup;  // every box's, but for its address and replay file
  std::vector<std::string> channelNames;
  std::vector<std::string> units;
  std::vector<std::string> replays;
  ReplayPacing pacing;
};

// An option's name, the word for its value in --help, and its line in --help.
struct OptionText {
  std::string name;
  std::string value;
  std::string help;
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

bool WholeNumber(const std::string& text, int64_t low, int64_t high, int64_t& value) {
  return !text.empty() && ParseInt(text, value) == text.size() && value >= low && value <= high &&
         text.find_first_of(" \t+") == std::string::npos;
}

bool Number(const std::string& text, double& value) {
  return !text.empty() && ParseDouble(text, value) == text.size() && std::isfinite(value) &&
         text.find_first_of(" \t") == std::string::npos;
}

// An option with one value, which `take` reads and stores; a value it refuses ends the parse with
// "<name> takes <what>". Given more than once, the last value counts.
void AddValue(CLI::App& app, const OptionText& option, const std::string& what,
              std::function<bool(const std::string&)> take) {
  app.add_option_function<std::string>(
         option.name,
         [name = option.name, what, take = std::move(take)](const std::string& text) {
           if (!take(text)) throw CLI::ValidationError(name + " takes " + what);
         },
         option.help)
      ->type_name(option.value);
}

// The same for a whole number from `low` to `high` (`unit` follows the range in the reason).
void AddWholeNumber(CLI::App& app, const OptionText& option, int64_t low, int64_t high, const std::string& unit,
                    std::function<void(int64_t)> store) {
  AddValue(app, option, std::to_string(low) + " to " + std::to_string(high) + unit,
           [low, high, store = std::move(store)](const std::string& text) {
             int64_t value = 0;
             if (!WholeNumber(text, low, high, value)) return false;
             store(value);
             return true;
           });
}

void AddText(CLI::App& app, const OptionText& option, std::string& target) {
  app.add_option(option.name, target, option.help)->type_name(option.value);
}

void AddBoxOptions(CLI::App& app, CommandLine& line) {
  AddWholeNumber(app, {"--boxes", "N", "number of boxes, 1 to 16 (default 2)"}, 1, kMaxSimulatedBoxes, "",
                 [&line](int64_t n) { line.boxCount = n; });
  AddValue(app,
           {"--address", "A",
            "IPv4 address of the first box (default 127.0.0.2); box i\nlistens on the i-th address after it"},
           "a dotted IPv4 address", [&line](const std::string& text) {
             const std::optional<uint32_t> address = ParseIpv4(text);
             if (address) line.firstAddress = *address;
             return address.has_value();
           });
  AddWholeNumber(app,
                 {"--data-port", "P", "data port of every box (default 0: a free port, the same\nnumber on every box)"},
                 0, kMaxPort, "", [&line](int64_t n) { line.setup.dataPort = static_cast<uint16_t>(n); });
  AddWholeNumber(app, {"--utility-port", "P", "utility port of every box (default 0, as above)"}, 0, kMaxPort, "",
                 [&line](int64_t n) { line.setup.utilityPort = static_cast<uint16_t>(n); });
  AddValue(app, {"--rate", "R", "records per second, above 0 and at most 1000 (default 1)"},
           "a number above 0, at most 1000", [&line](const std::string& text) {
             double rate = 0;
             if (!Number(text, rate) || rate <= 0 || rate > kMaxRate) return false;
             line.setup.recordPeriod = std::chrono::milliseconds(std::llround(1000.0 / rate));
             return true;
           });
}

void AddChannelOptions(CLI::App& app, CommandLine& line) {
  AddValue(app, {"--channels", "LIST", "comma-separated channel names (default\nPressure,Rate,Weight,Density)"},
           "1 to " + std::to_string(MaxChannels) + " names", [&line](const std::string& text) {
             line.channelNames = SplitList(text);
             return !line.channelNames.empty() && line.channelNames.size() <= static_cast<size_t>(MaxChannels);
           });
  AddValue(app, {"--units", "LIST", "comma-separated unit texts, one per channel"}, "a list",
           [&line](const std::string& text) {
             line.units = SplitList(text);
             return true;
           });
  AddText(app, {"--job-type", "TEXT", "job type (default Cementing)"}, line.setup.jobType);
  AddText(app, {"--dial", "NAME", "dial variable (default Weight)"}, line.setup.dialVariable);
  AddValue(app, {"--dial-min", "X", "low end of the dial range (default 0)"}, "a number",
           [&line](const std::string& text) { return Number(text, line.setup.dialMin); });
  AddValue(app, {"--dial-max", "X", "high end of the dial range (default 50000)"}, "a number",
           [&line](const std::string& text) { return Number(text, line.setup.dialMax); });
  AddText(app, {"--serial", "TEXT", "serial number of every box (default VM-20417, VM-20418, ...)"},
          line.setup.serialNumber);
  AddText(app, {"--firmware", "TEXT", "firmware version (default 8.7c)"}, line.setup.firmware);
  AddText(app, {"--fpga", "TEXT", "FPGA version (default 3.12)"}, line.setup.fpga);
  app.add_flag("--secondary", line.setup.secondary, "the boxes are secondary loggers");
  app.add_flag_callback("--no-diagnostics", [&line] { line.setup.diagnostics = false; },
                        "no DiagInfo line in the header block");
  app.add_flag_callback("--no-banner", [&line] { line.setup.banner = false; },
                        "the utility port sends no banner line");
  AddWholeNumber(app, {"--sequence-channel", "N", "channel N carries the record's sequence number"}, 0,
                 MaxChannels - 1, "", [&line](int64_t n) { line.setup.sequenceChannel = static_cast<int>(n); });
  AddWholeNumber(app,
                 {"--sequence-start", "N",
                  "the first record's sequence number (default 0), so that a box\nstarted again "
                  "can number its records apart from before"},
                 0, kMaxSequenceStart, "",
                 [&line](int64_t n) { line.setup.sequenceStart = static_cast<uint64_t>(n); });
}

void AddReplayOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--replay", line.replays,
                 "replay a recorded box stream instead of generating one; given\nonce it applies to every box, "
                 "given again it applies to the\nnext box")
      ->type_name("FILE")
      ->expected(1)
      ->allow_extra_args(false)  // one file each time it is given
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  AddWholeNumber(app, {"--slot", "MS", "replay: one data line every MS milliseconds (default 200)"}, 1, kMaxSlotMs,
                 " milliseconds", [&line](int64_t n) { line.pacing.slot = std::chrono::milliseconds(n); });
  AddWholeNumber(app, {"--piece", "N", "replay: cut the text into pieces of 1 to N bytes (default 24)"}, 1,
                 kMaxPiece, " bytes", [&line](int64_t n) { line.pacing.maxPiece = static_cast<size_t>(n); });
  AddWholeNumber(app, {"--seed", "N", "replay: seed of the cuts (default 1)"}, 0, kMaxSeed, "",
                 [&line](int64_t n) { line.pacing.seed = static_cast<uint32_t>(n); });
}

// --help: the usage line first, then what the program does, the options and what it prints.
std::string HelpText(const CLI::App* app, const std::string& name, CLI::AppFormatMode mode) {
  CLI::Formatter layout;
  layout.label("OPTIONS", "options");
  layout.column_width(kHelpColumn);
  return layout.make_usage(app, name) + layout.make_description(app) + layout.make_groups(app, mode) + "\n" +
         layout.make_footer(app);
}

// Every option of the program, read into `line`.
void Describe(CLI::App& app, CommandLine& line) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  AddBoxOptions(app, line);
  AddChannelOptions(app, line);
  AddReplayOptions(app, line);
  app.set_help_flag("--help", "print this text and exit");
  app.footer(kFooter);
  app.formatter_fn(HelpText);
}

// --channels and --units over the default channel set. Empty, or why they do not fit.
std::string ApplyChannels(CommandLine& line) {
  if (line.channelNames.empty() && line.units.empty()) return {};
  std::vector<ChannelSetup> channels = DefaultChannels();
  if (!line.channelNames.empty()) {
    channels.resize(line.channelNames.size(), kAddedChannel);
    for (size_t c = 0; c < line.channelNames.size(); ++c) channels[c].name = line.channelNames[c];
  }
  if (line.units.size() > channels.size()) return "--units has more units than there are channels";
  for (size_t c = 0; c < line.units.size(); ++c) channels[c].unit = line.units[c];
  line.setup.channels = std::move(channels);
  return {};
}

// The checks that need more than one option. Empty, or what is wrong.
std::string CheckTogether(const CommandLine& line) {
  const size_t channels = line.setup.channels.empty() ? DefaultChannels().size() : line.setup.channels.size();
  if (line.setup.sequenceChannel >= 0 && static_cast<size_t>(line.setup.sequenceChannel) >= channels) {
    return "--sequence-channel names a channel the boxes do not have";
  }
  if (line.replays.size() > static_cast<size_t>(line.boxCount)) return "more --replay files than boxes";
  if ((line.firstAddress >> 24) != 127 || (line.firstAddress & 0xff) + line.boxCount - 1 > 255) {
    return "--address must leave every box inside 127.0.0.0/8 without wrapping the last part";
  }
  return {};
}

// One setup per box: consecutive addresses, and one replay file for all or one each.
SimulatorOptions MakeOptions(const CommandLine& line) {
  SimulatorOptions options;
  options.pacing = line.pacing;
  for (int64_t b = 0; b < line.boxCount; ++b) {
    BoxSetup box = line.setup;
    box.address = Ipv4Text(line.firstAddress + static_cast<uint32_t>(b));
    const size_t replay = line.replays.size() == 1 ? 0 : static_cast<size_t>(b);
    if (replay < line.replays.size()) box.replayFile = line.replays[replay];
    options.boxes.push_back(std::move(box));
  }
  return options;
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

std::string SimUsage() {
  CommandLine line;
  CLI::App app(kDescription, kProgramName);
  Describe(app, line);
  return app.help();
}

SimCommand ParseSimCommandLine(const std::vector<std::string>& args, SimulatorOptions& options, std::string& error) {
  CommandLine line;
  CLI::App app(kDescription, kProgramName);
  Describe(app, line);
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));  // CLI11 takes them last first
  } catch (const CLI::CallForHelp&) {
    return SimCommand::Help;
  } catch (const CLI::ParseError& failure) {
    error = OneLine(failure.what());
    return SimCommand::Error;
  }
  error = ApplyChannels(line);
  if (error.empty()) error = CheckTogether(line);
  if (!error.empty()) return SimCommand::Error;
  options = MakeOptions(line);
  return SimCommand::Run;
}

}  // namespace tessamer::sim
