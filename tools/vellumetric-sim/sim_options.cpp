#include "sim_options.h"

#include <cctype>
#include <chrono>
#include <cmath>

#include "hub/core/records.h"
#include "support/ipv4_text.h"
#include "support/number_text.h"

namespace tessamer::sim {
namespace {

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

}  // namespace

const char* SimUsage() {
  return "Usage: vellumetric-sim [options]\n"
         "Simulates 1 to 16 Vellumetric logger boxes on loopback addresses. Each box listens on a\n"
         "data port (a header block, then one data line per record) and a utility port (a banner,\n"
         "\"help\", and \"G\" commands acknowledged with \"Extended Command done <bytes>\" and\n"
         "\"Done\").\n"
         "\n"
         "Options:\n"
         "  --boxes N             number of boxes, 1 to 16 (default 2)\n"
         "  --address A           IPv4 address of the first box (default 127.0.0.2); box i\n"
         "                        listens on the i-th address after it\n"
         "  --data-port P         data port of every box (default 0: a free port, the same\n"
         "                        number on every box)\n"
         "  --utility-port P      utility port of every box (default 0, as above)\n"
         "  --rate R              records per second, above 0 and at most 1000 (default 1)\n"
         "  --channels LIST       comma-separated channel names (default\n"
         "                        Pressure,Rate,Weight,Density)\n"
         "  --units LIST          comma-separated unit texts, one per channel\n"
         "  --job-type TEXT       job type (default Cementing)\n"
         "  --dial NAME           dial variable (default Weight)\n"
         "  --dial-min X, --dial-max X   dial range (default 0 and 50000)\n"
         "  --serial TEXT         serial number of every box (default VM-20417, VM-20418, ...)\n"
         "  --firmware TEXT       firmware version (default 8.7c)\n"
         "  --fpga TEXT           FPGA version (default 3.12)\n"
         "  --secondary           the boxes are secondary loggers\n"
         "  --no-diagnostics      no DiagInfo line in the header block\n"
         "  --no-banner           the utility port sends no banner line\n"
         "  --sequence-channel N  channel N carries the record's sequence number\n"
         "  --replay FILE         replay a recorded box stream instead of generating one; given\n"
         "                        once it applies to every box, given again it applies to the\n"
         "                        next box\n"
         "  --slot MS             replay: one data line every MS milliseconds (default 200)\n"
         "  --piece N             replay: cut the text into pieces of 1 to N bytes (default 24)\n"
         "  --seed N              replay: seed of the cuts (default 1)\n"
         "  --help                print this text and exit\n"
         "\n"
         "Output: one line per box, \"box <i> address=<a> data=<port> utility=<port>\", then\n"
         "\"ready\"; then \"command box=<i> text=<request>\" for every utility request.\n"
         "Standard input takes control lines: \"drop <i>\" (close the box's data connections),\n"
         "\"refuse <i>\" / \"accept <i>\" (stop / resume listening on its data port),\n"
         "\"silent <i>\" / \"speak <i>\" (stop / resume its data lines), \"quit\".\n"
         "SIGINT or SIGTERM end the program.\n";
}

SimCommand ParseSimCommandLine(const std::vector<std::string>& args, SimProgramOptions& options,
                               std::string& error) {
  int64_t boxCount = 2;
  BoxSetup setup;
  std::string firstAddress = Ipv4Text(kFirstBoxAddress);
  std::vector<std::string> channelNames;
  std::vector<std::string> units;
  std::vector<std::string> replays;
  ReplayPacing pacing;
  auto bad = [&](const std::string& reason) {
    error = reason;
    return SimCommand::Error;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help") return SimCommand::Help;
    if (option == "--secondary") {
      setup.secondary = true;
      continue;
    }
    if (option == "--no-diagnostics") {
      setup.diagnostics = false;
      continue;
    }
    if (option == "--no-banner") {
      setup.banner = false;
      continue;
    }
    if (i + 1 >= args.size()) return bad("option " + option + " needs a value");
    const std::string& value = args[++i];
    int64_t n = 0;
    double x = 0;
    if (option == "--boxes") {
      if (!WholeNumber(value, 1, kMaxSimulatedBoxes, boxCount)) {
        return bad("--boxes takes 1 to " + std::to_string(kMaxSimulatedBoxes));
      }
    } else if (option == "--address") {
      firstAddress = value;
    } else if (option == "--data-port") {
      if (!WholeNumber(value, 0, 65535, n)) return bad("--data-port takes 0 to 65535");
      setup.dataPort = static_cast<uint16_t>(n);
    } else if (option == "--utility-port") {
      if (!WholeNumber(value, 0, 65535, n)) return bad("--utility-port takes 0 to 65535");
      setup.utilityPort = static_cast<uint16_t>(n);
    } else if (option == "--rate") {
      if (!Number(value, x) || x <= 0 || x > 1000) return bad("--rate takes a number above 0, at most 1000");
      setup.recordPeriod = std::chrono::milliseconds(static_cast<int64_t>(std::llround(1000.0 / x)));
    } else if (option == "--channels") {
      channelNames = SplitList(value);
      if (channelNames.empty() || channelNames.size() > static_cast<size_t>(MaxChannels)) {
        return bad("--channels takes 1 to " + std::to_string(MaxChannels) + " names");
      }
    } else if (option == "--units") {
      units = SplitList(value);
    } else if (option == "--job-type") {
      setup.jobType = value;
    } else if (option == "--dial") {
      setup.dialVariable = value;
    } else if (option == "--dial-min") {
      if (!Number(value, setup.dialMin)) return bad("--dial-min takes a number");
    } else if (option == "--dial-max") {
      if (!Number(value, setup.dialMax)) return bad("--dial-max takes a number");
    } else if (option == "--serial") {
      setup.serialNumber = value;
    } else if (option == "--firmware") {
      setup.firmware = value;
    } else if (option == "--fpga") {
      setup.fpga = value;
    } else if (option == "--sequence-channel") {
      if (!WholeNumber(value, 0, MaxChannels - 1, n)) {
        return bad("--sequence-channel takes 0 to " + std::to_string(MaxChannels - 1));
      }
      setup.sequenceChannel = static_cast<int>(n);
    } else if (option == "--replay") {
      replays.push_back(value);
    } else if (option == "--slot") {
      if (!WholeNumber(value, 1, 60000, n)) return bad("--slot takes 1 to 60000 milliseconds");
      pacing.slot = std::chrono::milliseconds(n);
    } else if (option == "--piece") {
      if (!WholeNumber(value, 1, 1 << 20, n)) return bad("--piece takes 1 to 1048576 bytes");
      pacing.maxPiece = static_cast<size_t>(n);
    } else if (option == "--seed") {
      if (!WholeNumber(value, 0, 0xffffffffLL, n)) return bad("--seed takes 0 to 4294967295");
      pacing.seed = static_cast<uint32_t>(n);
    } else {
      return bad("unknown option " + option);
    }
  }
  if (!channelNames.empty() || !units.empty()) {
    std::vector<ChannelSetup> channels = DefaultChannels();
    if (!channelNames.empty()) {
      channels.resize(channelNames.size(), ChannelSetup{"", "", 100.0, 20.0, 0.5});
      for (size_t c = 0; c < channelNames.size(); ++c) channels[c].name = channelNames[c];
    }
    if (units.size() > channels.size()) return bad("--units has more units than there are channels");
    for (size_t c = 0; c < units.size(); ++c) channels[c].unit = units[c];
    setup.channels = channels;
  }
  if (setup.sequenceChannel >= 0 &&
      static_cast<size_t>(setup.sequenceChannel) >=
          (setup.channels.empty() ? DefaultChannels().size() : setup.channels.size())) {
    return bad("--sequence-channel names a channel the boxes do not have");
  }
  if (replays.size() > static_cast<size_t>(boxCount)) return bad("more --replay files than boxes");

  uint32_t first = 0;
  {
    // Dotted IPv4 text, checked here so that the simulator gets only addresses it can bind.
    int64_t part = 0;
    size_t pos = 0;
    for (int k = 0; k < 4; ++k) {
      const size_t used = ParseInt(std::string_view(firstAddress).substr(pos), part);
      if (used == 0 || part < 0 || part > 255 || !std::isdigit(static_cast<unsigned char>(firstAddress[pos]))) {
        return bad("--address takes a dotted IPv4 address");
      }
      first = (first << 8) | static_cast<uint32_t>(part);
      pos += used;
      if (k < 3) {
        if (pos >= firstAddress.size() || firstAddress[pos] != '.') return bad("--address takes a dotted IPv4 address");
        ++pos;
      }
    }
    if (pos != firstAddress.size()) return bad("--address takes a dotted IPv4 address");
    if ((first >> 24) != 127 || (first & 0xff) + static_cast<uint32_t>(boxCount) - 1 > 255) {
      return bad("--address must leave every box inside 127.0.0.0/8 without wrapping the last part");
    }
  }

  options.simulator.boxes.clear();
  options.simulator.pacing = pacing;
  for (int64_t b = 0; b < boxCount; ++b) {
    BoxSetup box = setup;
    const uint32_t a = first + static_cast<uint32_t>(b);
    box.address = std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." +
                  std::to_string((a >> 8) & 0xff) + "." + std::to_string(a & 0xff);
    if (replays.size() == 1) box.replayFile = replays[0];
    if (replays.size() > 1 && static_cast<size_t>(b) < replays.size()) box.replayFile = replays[static_cast<size_t>(b)];
    options.simulator.boxes.push_back(box);
  }
  return SimCommand::Run;
}

}  // namespace tessamer::sim
