#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>

#include "support/ipv4_text.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

// A setting that cannot be taken. Thrown by the option callbacks and the checks after parsing,
// caught in ParseCommandLine, which turns it into the one-line reason.
struct BadSetting {
  std::string key;      // the option's name without its dashes
  std::string problem;  // what is wrong, ending with the value as given
};

[[noreturn]] void Reject(std::string key, std::string problem) {
  throw BadSetting{std::move(key), std::move(problem)};
}

// A whole decimal number in [low, high] and nothing else (no blanks, no sign).
bool ReadNumber(std::string_view text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  return ParseInt(text, value) == text.size() && value >= low && value <= high;
}

// Dotted IPv4 text, four decimal parts of 0 to 255; `address` in network byte order.
bool ReadAddress(std::string_view text, uint32_t& address) {
  const std::optional<uint32_t> parsed = ParseIpv4(text);
  if (!parsed) return false;
  address = BoxAddressFromHostOrder(*parsed);
  return true;
}

bool ReadBox(std::string_view text, BoxOption& box) {
  const size_t colon = text.find(':');
  if (!ReadAddress(text.substr(0, colon), box.address)) return false;
  if (colon == std::string_view::npos) return true;
  int64_t port = 0;
  if (!ReadNumber(text.substr(colon + 1), 1, 65535, port)) return false;
  box.port = static_cast<uint16_t>(port);
  return true;
}

uint16_t Port(const char* key, const std::string& text, int64_t low) {
  int64_t value = 0;
  if (!ReadNumber(text, low, 65535, value)) {
    Reject(key, "takes " + std::to_string(low) + " to 65535: " + text);
  }
  return static_cast<uint16_t>(value);
}

std::vector<BoxOption> Boxes(const std::vector<std::string>& texts) {
  std::vector<BoxOption> boxes;
  for (const std::string& text : texts) {
    BoxOption box;
    if (!ReadBox(text, box)) Reject("box", "takes ADDRESS[:PORT] (dotted IPv4, port 1 to 65535): " + text);
    if (boxes.size() >= static_cast<size_t>(MaxBoxes)) Reject("box", "is allowed at most 16 times");
    boxes.push_back(box);
  }
  return boxes;
}

// A setting that takes one value: `take` checks it and stores it, or rejects it.
CLI::Option* AddSetting(CLI::App& app, const char* name, const char* type, std::string help,
                        std::function<void(const std::string&)> take) {
  return app.add_option_function<std::string>(name, std::move(take), std::move(help))->type_name(type);
}

// Every option of the program, each storing into `options`.
void AddOptions(CLI::App& app, CommandLine& options) {
  app.set_help_flag();  // --help is an option like the others: it ends nothing by itself
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--headless", options.headless,
               "no window: start one run at once with the --box list\n"
               "and serve until SIGINT or SIGTERM")
      ->disable_flag_override();
  app.add_option_function<std::vector<std::string>>(
         "--box", [&options](const std::vector<std::string>& texts) { options.boxes = Boxes(texts); },
         "a box (dotted IPv4), 1 to 16 times, in agent order;\nheadless only")
      ->type_name("ADDRESS[:PORT]")
      ->allow_extra_args(false);
  AddSetting(app, "--channels", "N", "channel limit, 1 to 6 (default 6)", [&options](const std::string& text) {
    int64_t value = 0;
    if (!ReadNumber(text, kMinChannelLimit, kMaxChannelLimit, value)) Reject("channels", "takes 1 to 6: " + text);
    options.channels = static_cast<int>(value);
  });
  AddSetting(app, "--data-port", "PORT", "port of the data server, 0 for any free port (default 5000)",
             [&options](const std::string& text) { options.dataPort = Port("data-port", text, 0); });
  AddSetting(app, "--utility-port", "PORT", "port of the utility server, 0 for any free port\n(default 5009)",
             [&options](const std::string& text) { options.utilityPort = Port("utility-port", text, 0); });
  AddSetting(app, "--box-port", "PORT", "data port of boxes given without a port (default 5000)",
             [&options](const std::string& text) { options.boxPort = Port("box-port", text, 1); });
  AddSetting(app, "--box-utility-port", "PORT", "utility port of every box (default 5009)",
             [&options](const std::string& text) { options.boxUtilityPort = Port("box-utility-port", text, 1); });
  AddSetting(app, "--default-box", "ADDRESS",
             "box for viewers' \"##\" commands (default " + std::string(kDefaultBoxAddress) + ")",
             [&options](const std::string& text) {
               uint32_t address = 0;
               if (!ReadAddress(text, address)) Reject("default-box", "takes a dotted IPv4 address: " + text);
               options.defaultBox = text;
             });
  AddSetting(app, "--log", "FILE", "the diagnostic log file", [&options](const std::string& text) {
    if (text.empty()) Reject("log", "takes a file name");
    options.logFile = text;
  });
  app.add_flag("--demo", options.demo, "start simulated boxes on loopback and use them")->disable_flag_override();
  app.add_flag("--version", options.version, "print the version and exit")->disable_flag_override();
  app.add_flag("--help", options.help, "print this text and exit")->disable_flag_override();
}

void DescribeProgram(CLI::App& app) {
  app.description("Without options the operator window opens.");
  app.footer(
      "Headless exit status: 0 after SIGINT or SIGTERM, 2 for bad options, 3 when a box could\n"
      "not be reached at the start of the run, 4 when the data server could not start.");
  app.get_formatter()->column_width(30);
}

// The checks that involve more than one option.
void CheckTogether(const CommandLine& options) {
  if (!options.boxes.empty() && !options.headless) Reject("box", "is for --headless runs only");
}

}  // namespace

std::string UsageText() {
  CommandLine ignored;
  CLI::App app("", "tessamer");
  AddOptions(app, ignored);
  DescribeProgram(app);
  return app.help();
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& options, std::string& error) {
  CLI::App app("", "tessamer");
  AddOptions(app, options);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
    if (options.help || options.version) return true;
    CheckTogether(options);
  } catch (const BadSetting& bad) {
    error = "--" + bad.key + " " + bad.problem;
    return false;
  } catch (const CLI::ExtrasError&) {
    error = "unknown option " + app.remaining().front();
    return false;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  if (options.headless && options.boxes.empty() && !options.demo) {
    error = "--headless needs at least one --box (or --demo)";
    return false;
  }
  return true;
}

std::vector<Box> BoxesOf(const CommandLine& options) {
  std::vector<Box> boxes;
  for (size_t i = 0; i < options.boxes.size(); ++i) {
    const BoxOption& b = options.boxes[i];
    boxes.push_back(Box{b.address, b.port != 0 ? b.port : options.boxPort, static_cast<int32_t>(i)});
  }
  return boxes;
}

HubConfig HubConfigOf(const CommandLine& options) {
  HubConfig config;
  config.dataPort = options.dataPort;
  config.utilityPort = options.utilityPort;
  config.boxUtilityPort = options.boxUtilityPort;
  config.defaultBoxAddress = options.defaultBox;
  return config;
}

}  // namespace tessamer
