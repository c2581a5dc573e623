#include "app/cli/command_line.h"

#include <optional>
#include <string_view>

#include "support/ipv4_text.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

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

bool ReadPort(std::string_view text, int64_t low, uint16_t& port) {
  int64_t value = 0;
  if (!ReadNumber(text, low, 65535, value)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

std::string UsageText() {
  return "Usage: tessamer [options]\n"
         "Without options the operator window opens.\n"
         "\n"
         "Options:\n"
         "  --headless                 no window: start one run at once with the --box list\n"
         "                             and serve until SIGINT or SIGTERM\n"
         "  --box ADDRESS[:PORT]       a box (dotted IPv4), 1 to 16 times, in agent order;\n"
         "                             headless only\n"
         "  --channels N               channel limit, 1 to 6 (default 6)\n"
         "  --data-port PORT           port of the data server, 0 for any free port (default 5000)\n"
         "  --utility-port PORT        port of the utility server, 0 for any free port\n"
         "                             (default 5009)\n"
         "  --box-port PORT            data port of boxes given without a port (default 5000)\n"
         "  --box-utility-port PORT    utility port of every box (default 5009)\n"
         "  --default-box ADDRESS      box for viewers' \"##\" commands (default " +
         std::string(kDefaultBoxAddress) +
         ")\n"
         "  --log FILE                 the diagnostic log file\n"
         "  --demo                     start simulated boxes on loopback and use them\n"
         "  --version                  print the version and exit\n"
         "  --help                     print this text and exit\n"
         "\n"
         "Headless exit status: 0 after SIGINT or SIGTERM, 2 for bad options, 3 when a box could\n"
         "not be reached at the start of the run, 4 when the data server could not start.\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& options, std::string& error) {
  auto bad = [&](std::string reason) {
    error = std::move(reason);
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::string value;
    bool hasValue = false;
    if (const size_t equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
      hasValue = true;
    }
    const bool flag = option == "--headless" || option == "--demo" || option == "--version" ||
                      option == "--help";
    if (flag) {
      if (hasValue) return bad("option " + option + " takes no value");
      if (option == "--headless") options.headless = true;
      if (option == "--demo") options.demo = true;
      if (option == "--version") options.version = true;
      if (option == "--help") options.help = true;
      continue;
    }
    const bool known = option == "--box" || option == "--channels" || option == "--data-port" ||
                       option == "--utility-port" || option == "--box-port" ||
                       option == "--box-utility-port" || option == "--default-box" || option == "--log";
    if (!known) return bad("unknown option " + args[i]);
    if (!hasValue) {
      if (i + 1 >= args.size()) return bad("option " + option + " needs a value");
      value = args[++i];
    }
    int64_t number = 0;
    if (option == "--box") {
      BoxOption box;
      if (!ReadBox(value, box)) return bad("--box takes ADDRESS[:PORT] (dotted IPv4, port 1 to 65535): " + value);
      if (options.boxes.size() >= static_cast<size_t>(MaxBoxes)) return bad("--box is allowed at most 16 times");
      options.boxes.push_back(box);
    } else if (option == "--channels") {
      if (!ReadNumber(value, kMinChannelLimit, kMaxChannelLimit, number)) return bad("--channels takes 1 to 6: " + value);
      options.channels = static_cast<int>(number);
    } else if (option == "--data-port") {
      if (!ReadPort(value, 0, options.dataPort)) return bad("--data-port takes 0 to 65535: " + value);
    } else if (option == "--utility-port") {
      if (!ReadPort(value, 0, options.utilityPort)) return bad("--utility-port takes 0 to 65535: " + value);
    } else if (option == "--box-port") {
      if (!ReadPort(value, 1, options.boxPort)) return bad("--box-port takes 1 to 65535: " + value);
    } else if (option == "--box-utility-port") {
      if (!ReadPort(value, 1, options.boxUtilityPort)) return bad("--box-utility-port takes 1 to 65535: " + value);
    } else if (option == "--default-box") {
      uint32_t address = 0;
      if (!ReadAddress(value, address)) return bad("--default-box takes a dotted IPv4 address: " + value);
      options.defaultBox = value;
    } else {
      if (value.empty()) return bad("--log takes a file name");
      options.logFile = value;
    }
  }
  if (options.help || options.version) return true;
  if (!options.boxes.empty() && !options.headless) return bad("--box is for --headless runs only");
  if (options.headless && options.boxes.empty() && !options.demo) {
    return bad("--headless needs at least one --box (or --demo)");
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
