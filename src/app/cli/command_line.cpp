#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "mqtt/mqtt_settings.h"
#include "support/ipv4_text.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

// A setting that cannot be taken. Thrown by the option callbacks and the checks after parsing,
// caught in COptionReader::Read, which turns it into the one-line reason.
struct BadSetting {
  std::string key;      // the option's name without its dashes
  std::string problem;  // what is wrong, ending with the value as given
  std::string value;    // the value at fault, to find its line in the file; empty: the key's line
  int occurrence = 1;   // which of the key's values equal to `value` is at fault
};

[[noreturn]] void Reject(std::string key, std::string problem, std::string value = {}) {
  throw BadSetting{std::move(key), std::move(problem), std::move(value)};
}

// A whole decimal number in [low, high] and nothing else (no blanks, no sign).
bool ReadNumber(std::string_view text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  return ParseInt(text, value) == text.size() && value >= low && value <= high;
}

bool ReadBox(std::string_view text, BoxOption& box) {
  const size_t colon = text.find(':');
  if (!IsBoxHost(text.substr(0, colon))) return false;
  box.host = std::string(text.substr(0, colon));
  if (colon == std::string_view::npos) return true;
  int64_t port = 0;
  if (!ReadNumber(text.substr(colon + 1), 1, 65535, port)) return false;
  box.port = static_cast<uint16_t>(port);
  return true;
}

uint16_t Port(const char* key, const std::string& text, int64_t low) {
  int64_t value = 0;
  if (!ReadNumber(text, low, 65535, value)) {
    Reject(key, "takes " + std::to_string(low) + " to 65535: " + text, text);
  }
  return static_cast<uint16_t>(value);
}

std::string Address(const char* key, const std::string& text) {
  if (!ParseIpv4(text)) Reject(key, "takes a dotted IPv4 address: " + text, text);
  return text;
}

// Seconds, fractions allowed ("0.2"), as whole milliseconds.
std::chrono::milliseconds Seconds(const char* key, const std::string& text) {
  double seconds = -1;
  if (!text.empty() && (text[0] == '.' || (text[0] >= '0' && text[0] <= '9')) &&
      ParseDouble(text, seconds) != text.size()) {
    seconds = -1;
  }
  const double ms = std::round(seconds * 1000);
  if (!(ms >= kMinKeepTrying.count() && ms <= kMaxKeepTrying.count())) {
    Reject(key, "takes 0.05 to 3600 seconds: " + text, text);
  }
  return std::chrono::milliseconds(static_cast<int64_t>(ms));
}

std::vector<BoxOption> Boxes(const std::vector<std::string>& texts) {
  std::vector<BoxOption> boxes;
  for (const std::string& text : texts) {
    BoxOption box;
    if (!ReadBox(text, box)) {
      Reject("box", "takes ADDRESS[:PORT] (dotted IPv4 or host name, port 1 to 65535): " + text, text);
    }
    boxes.push_back(box);
  }
  return boxes;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string_view Unquoted(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// The values of an entry as CLI11 reads them: brackets, commas, blanks and quotes aside.
std::vector<std::string_view> ValueTokens(std::string_view values) {
  std::vector<std::string_view> tokens;
  for (size_t start = 0; start < values.size();) {
    const size_t end = std::min(values.find_first_of("[], \t", start), values.size());
    if (end > start) tokens.push_back(Unquoted(values.substr(start, end - start)));
    start = end + 1;
  }
  return tokens;
}

// The line (from 1) of a configuration file's text that holds the `occurrence`-th value `value`
// of `key` ("section.key" inside a [section]); with an empty `value`, the key's first line. 0
// when there is none. CLI11 reads the values; this only finds their lines again for messages.
int LineOf(std::string_view text, std::string_view key, std::string_view value, int occurrence) {
  std::string section;     // "name." inside [name]
  std::string current;     // key of the entry the line belongs to
  bool continued = false;  // the line goes on with an array opened on an earlier line
  int number = 0;
  for (size_t start = 0; start < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view body = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (body.empty() || body[0] == '#' || body[0] == ';') continue;
    std::string_view values = body;
    if (!continued && body.front() == '[' && body.back() == ']') {
      std::string_view name = body;
      while (!name.empty() && name.front() == '[') name.remove_prefix(1);
      while (!name.empty() && name.back() == ']') name.remove_suffix(1);
      section = name == "default" ? "" : std::string(Trimmed(name)) + ".";
      continue;
    }
    if (!continued) {
      const size_t equals = body.find('=');
      current = section + std::string(Unquoted(Trimmed(body.substr(0, equals))));
      values = equals == std::string_view::npos ? std::string_view() : body.substr(equals + 1);
    }
    values = Trimmed(values.substr(0, values.find('#')));
    const bool closes = values.find(']') != std::string_view::npos;
    continued = continued ? !closes : !values.empty() && values.front() == '[' && !closes;
    if (current != key) continue;
    if (value.empty()) return number + 1;
    for (std::string_view token : ValueTokens(values)) {
      if (token == value && --occurrence == 0) return number + 1;
    }
  }
  return 0;
}

bool ReadText(const std::string& path, std::string& text) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  if (!file) return false;
  text = content.str();
  return true;
}

// Reads the command line, then the configuration file it names, into one CommandLine. The
// options' callbacks check and store each value, from either source.
class COptionReader {
 public:
  explicit COptionReader(CommandLine& options);
  COptionReader(const COptionReader&) = delete;
  COptionReader& operator=(const COptionReader&) = delete;

  bool Read(const std::vector<std::string>& args, std::string& error);
  std::string Help() const { return app.help(); }

 private:
  // A setting that takes one value: `take` checks it and stores it, or rejects it.
  CLI::Option* AddSetting(const char* name, const char* type, std::string help,
                          std::function<void(const std::string&)> take);
  void AddOptions();
  void AddRunOptions();
  void AddRecordingOptions();
  void Describe();
  void ApplyFile();
  void ApplyItem(const CLI::ConfigItem& item);
  void AddMqttOptions();
  void CheckTogether() const;
  void CheckMqtt() const;
  [[noreturn]] void RejectBox(size_t index, std::string problem) const;
  std::string Reason(const BadSetting& bad) const;

  CommandLine& options;
  CLI::App app;
  std::vector<std::string> boxTexts;  // the box values as given, to find them in the file
  std::string fileText;
  std::set<std::string> fileKeys;     // keys the file set (the command line did not)
  bool applyingFile = false;
};

COptionReader::COptionReader(CommandLine& options) : options(options), app("", "tessamer") {
  AddOptions();
  Describe();
}

CLI::Option* COptionReader::AddSetting(const char* name, const char* type, std::string help,
                                       std::function<void(const std::string&)> take) {
  return app.add_option_function<std::string>(name, std::move(take), std::move(help))->type_name(type);
}

void COptionReader::AddOptions() {
  app.set_help_flag();  // --help is an option like the others: it ends nothing by itself
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--headless", options.headless,
               "no window: start one run at once with the --box list\n"
               "and serve until SIGINT or SIGTERM")
      ->disable_flag_override()
      ->configurable(false);
  AddSetting("--config", "FILE",
             "read the settings below from FILE, one \"key = value\" line\n"
             "each, keys named as the options without their dashes;\n"
             "the command line overrides the file",
             [this](const std::string& text) {
               if (text.empty()) Reject("config", "takes a file name");
               options.configFile = text;
             })
      ->configurable(false);
  app.add_flag("--check-config", options.checkConfig,
               "check the settings (the file and the options) as a\n"
               "headless hub takes them, print them as a configuration\n"
               "file and exit; bad settings: exit 2 with the reason")
      ->disable_flag_override()
      ->configurable(false);
  app.add_option_function<std::vector<std::string>>(
         "--box",
         [this](const std::vector<std::string>& texts) {
           boxTexts = texts;
           options.boxes = Boxes(texts);
         },
         "a box (dotted IPv4 or a host name, looked up when a run\n"
         "starts), 1 to 16 times, in agent order; headless only")
      ->type_name("ADDRESS[:PORT]")
      ->allow_extra_args(false);
  AddSetting("--channels", "N", "channel limit, 1 to 6 (default 6)", [this](const std::string& text) {
    int64_t value = 0;
    if (!ReadNumber(text, kMinChannelLimit, kMaxChannelLimit, value)) {
      Reject("channels", "takes 1 to 6: " + text, text);
    }
    options.channels = static_cast<int>(value);
  });
  AddSetting("--data-port", "PORT", "port of the data server, 0 for any free port (default 5000)",
             [this](const std::string& text) { options.dataPort = Port("data-port", text, 0); });
  AddSetting("--utility-port", "PORT", "port of the utility server, 0 for any free port\n(default 5009)",
             [this](const std::string& text) { options.utilityPort = Port("utility-port", text, 0); });
  AddSetting("--box-port", "PORT", "data port of boxes given without a port (default 5000)",
             [this](const std::string& text) { options.boxPort = Port("box-port", text, 1); });
  AddSetting("--box-utility-port", "PORT", "utility port of every box (default 5009)",
             [this](const std::string& text) { options.boxUtilityPort = Port("box-utility-port", text, 1); });
  AddSetting("--default-box", "ADDRESS",
             "box for viewers' \"##\" commands (default " + std::string(kDefaultBoxAddress) + ")",
             [this](const std::string& text) { options.defaultBox = Address("default-box", text); });
  AddSetting("--listen", "ADDRESS", "address both servers listen on (default 0.0.0.0: all)",
             [this](const std::string& text) { options.listenAddress = Address("listen", text); });
  AddSetting("--log", "FILE", "the diagnostic log file", [this](const std::string& text) {
    if (text.empty()) Reject("log", "takes a file name");
    options.logFile = text;
  });
  AddSetting("--silent-after", "SECONDS",
             "a connected box that sends no record for SECONDS is shown\n"
             "silent (default 10; 0.05 to 3600)",
             [this](const std::string& text) {
               options.silentAfter = Seconds("silent-after", text);
             });
  AddSetting("--status-port", "PORT",
             "serve the hub's health over HTTP on PORT (0: any free\n"
             "port): a web page at /, GET /status as JSON, GET /metrics\n"
             "for Prometheus, GET /events for live updates; off without it",
             [this](const std::string& text) { options.statusPort = Port("status-port", text, 0); });
  AddSetting("--status-listen", "ADDRESS",
             "address or host name the status endpoint listens on\n"
             "(default " + std::string(kStatusListenAddress) + ": this machine only); beyond loopback it\n"
             "needs --status-token-file or --status-open",
             [this](const std::string& text) {
               if (!IsBoxHost(text)) Reject("status-listen", "takes a dotted IPv4 address or a host name: " + text, text);
               options.statusListen = text;
             });
  AddSetting("--status-token-file", "FILE",
             "every request to the status endpoint must carry the token\n"
             "in FILE (Authorization: Bearer TOKEN, or ?token=TOKEN once\n"
             "in the page's address); with --status, the token to send",
             [this](const std::string& text) {
               if (text.empty()) Reject("status-token-file", "takes a file name");
               options.statusTokenFile = text;
             });
  app.add_flag("--status-open", options.statusOpen,
               "serve the status endpoint beyond loopback without a token,\n"
               "on purpose")
      ->disable_flag_override();
  AddSetting("--status", "[HOST:]PORT",
             "show the boxes and viewers of the hub whose status endpoint\n"
             "is at HOST (default 127.0.0.1) and PORT, and exit",
             [this](const std::string& text) {
               BoxOption target;
               if (!ReadBox(text.find(':') == std::string::npos ? "127.0.0.1:" + text : text, target)) {
                 Reject("status", "takes [HOST:]PORT (port 1 to 65535): " + text, text);
               }
               options.statusQuery = target.host + ":" + std::to_string(target.port);
             })
      ->configurable(false);
  AddRecordingOptions();
  AddSetting("--keep-trying", "SECONDS",
             "headless: when a run ends by itself (a box could not be\n"
             "reached), keep the servers and start it again after SECONDS,\n"
             "the wait doubling after each failed start up to 10 times\n"
             "SECONDS; fractions allowed (0.05 to 3600)",
             [this](const std::string& text) { options.keepTrying = Seconds("keep-trying", text); });
  AddRunOptions();
  AddMqttOptions();
  app.add_flag("--demo", options.demo, "start simulated boxes on loopback and use them")
      ->disable_flag_override()
      ->configurable(false);
  app.add_flag("--version", options.version, "print the version and exit")
      ->disable_flag_override()
      ->configurable(false);
  app.add_flag("--help", options.help, "print this text and exit")->disable_flag_override()->configurable(false);
}

// Delivery to an MQTT broker: every record off the site, kept in the recording until the
// broker has it.
void COptionReader::AddMqttOptions() {
  MqttOptions& mqtt = options.mqtt;
  const auto file = [](const char* key, std::string& target) {
    return [key, &target](const std::string& text) {
      if (text.empty()) Reject(key, "takes a file name");
      target = text;
    };
  };
  AddSetting("--mqtt", "URL",
             "publish every record to the MQTT broker at\n"
             "mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS);\n"
             "needs the recording, which keeps what the broker lacks",
             [&mqtt](const std::string& text) {
               MqttBroker broker;
               std::string problem;
               if (!ParseMqttUrl(text, broker, problem)) Reject("mqtt", problem, text);
               mqtt.url = text;
             });
  AddSetting("--mqtt-topic", "PREFIX", "the topics' prefix (default tessamer/<host name>)",
             [&mqtt](const std::string& text) {
               if (!IsMqttTopicPrefix(text)) {
                 Reject("mqtt-topic", "takes a topic without + or # and without a / at its ends: " +
                                          text, text);
               }
               mqtt.topicPrefix = text;
             });
  AddSetting("--mqtt-client-id", "ID", "the client's id at the broker (default tessamer-<host name>)",
             [&mqtt](const std::string& text) {
               if (text.empty()) Reject("mqtt-client-id", "takes an id");
               mqtt.clientId = text;
             });
  AddSetting("--mqtt-user", "NAME", "the user name at the broker", [&mqtt](const std::string& text) {
    if (text.empty()) Reject("mqtt-user", "takes a name");
    mqtt.user = text;
  });
  AddSetting("--mqtt-password-file", "FILE",
             "the user's password: the first line of FILE (read at the start\n"
             "and at SIGHUP; never shown)",
             file("mqtt-password-file", mqtt.passwordFile));
  AddSetting("--mqtt-ca", "FILE",
             "mqtts: the authority the broker's certificate is checked\n"
             "against (default: the system's)",
             file("mqtt-ca", mqtt.caFile));
  AddSetting("--mqtt-cert", "FILE", "mqtts: the client's certificate (with --mqtt-key)",
             file("mqtt-cert", mqtt.certFile));
  AddSetting("--mqtt-key", "FILE", "mqtts: the client certificate's key",
             file("mqtt-key", mqtt.keyFile));
}

// The MQTT settings that only make sense together.
void COptionReader::CheckMqtt() const {
  const MqttOptions& mqtt = options.mqtt;
  const std::pair<const char*, bool> given[] = {
      {"mqtt-topic", !mqtt.topicPrefix.empty()}, {"mqtt-client-id", !mqtt.clientId.empty()},
      {"mqtt-user", !mqtt.user.empty()},         {"mqtt-password-file", !mqtt.passwordFile.empty()},
      {"mqtt-ca", !mqtt.caFile.empty()},         {"mqtt-cert", !mqtt.certFile.empty()},
      {"mqtt-key", !mqtt.keyFile.empty()}};
  for (const auto& [key, set] : given) {
    if (set && mqtt.url.empty()) Reject(key, "needs --mqtt");
  }
  if (!mqtt.passwordFile.empty() && mqtt.user.empty()) {
    Reject("mqtt-password-file", "needs --mqtt-user");
  }
  if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
    Reject(mqtt.certFile.empty() ? "mqtt-key" : "mqtt-cert", "needs --mqtt-cert and --mqtt-key");
  }
  const bool tls = mqtt.url.rfind("mqtts://", 0) == 0;
  if (!tls && (!mqtt.caFile.empty() || !mqtt.certFile.empty())) {
    Reject(mqtt.caFile.empty() ? "mqtt-cert" : "mqtt-ca", "is for mqtts:// brokers only");
  }
}

// How a run goes on when some boxes do not answer.
void COptionReader::AddRunOptions() {
  app.add_flag("--serve-available", options.serveAvailable,
               "when some boxes do not answer at the start of a run, serve\n"
               "the boxes that do and try the others in the background\n"
               "(every --keep-trying SECONDS, or 5 s); the run starts again\n"
               "once one answers. Without it such a run ends");
}

void COptionReader::AddRecordingOptions() {
  AddSetting("--record", "FILE",
             "keep every combined record, header and box event in the\n"
             "SQLite file FILE, made if missing (the window records into\n"
             "recording.sqlite in the user's data folder without it)",
             [this](const std::string& text) {
               if (text.empty()) Reject("record", "takes a file name");
               options.recordFile = text;
             });
  app.add_flag("--no-record", options.noRecord, "keep no recording (also the window)")
      ->disable_flag_override();
  AddSetting("--record-keep-days", "N",
             "records older than N days leave the recording (default 30;\n1 to 36500)",
             [this](const std::string& text) {
               int64_t days = 0;
               if (!ReadNumber(text, 1, kMaxRecordKeepDays, days)) {
                 Reject("record-keep-days", "takes 1 to 36500: " + text, text);
               }
               options.recordKeepDays = static_cast<int>(days);
             });
  AddSetting("--record-max-mb", "N",
             "the recording's file is held below N MiB, the oldest\n"
             "records leaving first (default 2048; 1 to 16777216)",
             [this](const std::string& text) {
               if (!ReadNumber(text, 1, kMaxRecordMiB, options.recordMaxMiB)) {
                 Reject("record-max-mb", "takes 1 to 16777216: " + text, text);
               }
             });
}

void COptionReader::Describe() {
  app.description("Without options the operator window opens.");
  app.footer(
      "A headless hub re-reads its settings on SIGHUP: a changed box list or channel limit ends\n"
      "the run and starts a new one; other changes need a restart and are only reported.\n"
      "\n"
      "Headless exit status: 0 after SIGINT or SIGTERM, 2 for bad options or a bad\n"
      "configuration file, 3 when a box could not be reached at the start of the run (and\n"
      "no --keep-trying), 4 when the data server or the status endpoint could not start.\n"
      "--status exits 0 after showing the hub, 1 when nothing answers there.\n"
      "\n"
      "tessamer export FILE [--from TIME] [--to TIME] [--run N] [--format box|csv|jsonl]\n"
      "writes a recording to standard output (tessamer export --help).");
  app.get_formatter()->column_width(30);
}

bool COptionReader::Read(const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
    if (options.help || options.version) return true;
    if (options.checkConfig) options.headless = true;  // the settings of a headless hub
    if (!options.configFile.empty()) {
      if (!ReadText(options.configFile, fileText)) {
        error = options.configFile + ": cannot be read";
        return false;
      }
      ApplyFile();
    }
    CheckTogether();
  } catch (const BadSetting& bad) {
    error = Reason(bad);
    return false;
  } catch (const CLI::ExtrasError&) {
    error = "unknown option " + app.remaining().front();
    return false;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  if (options.headless && options.boxes.empty() && !options.demo) {
    error = options.checkConfig
                ? "no box: a headless hub needs at least one (box = ADDRESS in the file, or --box)"
                : "--headless needs at least one --box (or a box in the configuration file, or --demo)";
    return false;
  }
  return true;
}

void COptionReader::ApplyFile() {
  std::istringstream stream(fileText);
  applyingFile = true;
  for (const CLI::ConfigItem& item : CLI::ConfigTOML().from_config(stream)) ApplyItem(item);
  applyingFile = false;
}

// Applied here rather than by CLI11's own set_config, so that a key may stand on lines apart (CLI11
// 2.1 would keep only the first) and every error can name its line.
void COptionReader::ApplyItem(const CLI::ConfigItem& item) {
  if (item.name == "++" || item.name == "--") return;  // where a [section] begins and ends
  const std::string key = item.fullname();
  CLI::Option* option = item.parents.empty() ? app.get_option_no_throw("--" + item.name) : nullptr;
  if (option == nullptr || !option->get_configurable()) Reject(key, "is not a setting");
  if (option->count() > 0 && fileKeys.count(key) == 0) return;  // the command line has it
  if (item.inputs.size() > 1 && option->get_items_expected_max() <= 1) {
    Reject(key, "takes one value (quote a value with blanks)");  // CLI11 would keep the last word
  }
  fileKeys.insert(key);
  try {
    option->add_result(item.inputs);
    option->run_callback();
  } catch (const CLI::ParseError& e) {
    Reject(key, e.what());
  }
}

void COptionReader::CheckTogether() const {
  const std::vector<BoxOption>& boxes = options.boxes;
  if (boxes.size() > static_cast<size_t>(MaxBoxes)) RejectBox(MaxBoxes, "is allowed at most 16 times");
  for (size_t i = 1; i < boxes.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (SameBox(boxes[i], boxes[j], options.boxPort)) RejectBox(i, "names the same box twice: " + boxTexts[i]);
    }
  }
  if (!boxes.empty() && !options.headless) RejectBox(0, "is for --headless runs only");
  if (options.keepTrying.count() != 0 && !options.headless) {
    Reject("keep-trying", "is for --headless runs only");
  }
  CheckMqtt();
}

void COptionReader::RejectBox(size_t index, std::string problem) const {
  const std::string& text = boxTexts[index];
  const auto occurrence = std::count(boxTexts.begin(), boxTexts.begin() + static_cast<std::ptrdiff_t>(index) + 1, text);
  throw BadSetting{"box", std::move(problem), text, static_cast<int>(occurrence)};
}

std::string COptionReader::Reason(const BadSetting& bad) const {
  if (!applyingFile && fileKeys.count(bad.key) == 0) return "--" + bad.key + " " + bad.problem;
  const int line = LineOf(fileText, bad.key, bad.value, bad.occurrence);
  return options.configFile + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + bad.key + " " +
         bad.problem;
}

// Seconds as a setting takes them: "0.2", "2.5", "10".
std::string SecondsText(std::chrono::milliseconds value) {
  std::string text = FormatFixed(static_cast<double>(value.count()) / 1000, 3);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// A file name as a value: quoted, so that blanks stay part of it.
std::string Quoted(const std::string& text) {
  const char quote = text.find('"') == std::string::npos ? '"' : '\'';
  return quote + text + quote;
}

std::string BoxText(const BoxOption& box) {
  return box.port == 0 ? box.host : box.host + ":" + std::to_string(box.port);
}

}  // namespace

std::string SettingsText(const CommandLine& options) {
  std::string text;
  const auto line = [&text](const char* key, const std::string& value) {
    text += std::string(key) + " = " + value + "\n";
  };
  const auto off = [&text](const char* key, const char* why) {
    text += "# " + std::string(key) + ": " + why + "\n";  // a comment: the setting is not set
  };
  for (const BoxOption& box : options.boxes) line("box", BoxText(box));
  line("channels", std::to_string(options.channels));
  line("data-port", std::to_string(options.dataPort));
  line("utility-port", std::to_string(options.utilityPort));
  line("box-port", std::to_string(options.boxPort));
  line("box-utility-port", std::to_string(options.boxUtilityPort));
  line("default-box", options.defaultBox);
  line("listen", options.listenAddress);
  if (options.logFile.empty()) {
    off("log", "none given, tessamer-log.txt in the user's application-data folder");
  } else {
    line("log", Quoted(options.logFile));
  }
  if (options.statusPort) {
    line("status-port", std::to_string(*options.statusPort));
  } else {
    off("status-port", "off");
  }
  line("status-listen", options.statusListen);
  if (options.statusTokenFile.empty()) {
    off("status-token-file", "none, every request is answered");
  } else {
    line("status-token-file", Quoted(options.statusTokenFile));
  }
  line("status-open", options.statusOpen ? "true" : "false");
  if (options.keepTrying.count() != 0) {
    line("keep-trying", SecondsText(options.keepTrying));
  } else {
    off("keep-trying", "off");
  }
  line("silent-after", SecondsText(options.silentAfter));
  if (options.serveAvailable) {
    line("serve-available", "true");
  } else {
    off("serve-available", "off");
  }
  if (options.recordFile.empty()) {
    off("record", "none given, the window records to recording.sqlite in the user's data folder");
  } else {
    line("record", Quoted(options.recordFile));
  }
  if (options.noRecord) {
    line("no-record", "true");
  } else {
    off("no-record", "off");
  }
  line("record-keep-days", std::to_string(options.recordKeepDays));
  line("record-max-mb", std::to_string(options.recordMaxMiB));
  const MqttOptions& mqtt = options.mqtt;
  const auto optional = [&](const char* key, const std::string& value, const char* otherwise) {
    if (value.empty()) {
      off(key, otherwise);
    } else {
      line(key, Quoted(value));
    }
  };
  optional("mqtt", mqtt.url, "off");
  optional("mqtt-topic", mqtt.topicPrefix, "none given, tessamer/<host name>");
  optional("mqtt-client-id", mqtt.clientId, "none given, tessamer-<host name>");
  optional("mqtt-user", mqtt.user, "none");
  optional("mqtt-password-file", mqtt.passwordFile, "none");
  optional("mqtt-ca", mqtt.caFile, "none given, the system's authorities");
  optional("mqtt-cert", mqtt.certFile, "none");
  optional("mqtt-key", mqtt.keyFile, "none");
  return text;
}

std::string UsageText() {
  CommandLine ignored;
  return COptionReader(ignored).Help();
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& options, std::string& error) {
  return COptionReader(options).Read(args, error);
}

std::vector<std::string> RestartOnlyChanges(const CommandLine& running, const CommandLine& reread) {
  std::vector<std::string> keys;
  const auto note = [&keys](bool changed, const char* key) {
    if (changed) keys.push_back(key);
  };
  note(running.dataPort != reread.dataPort, "data-port");
  note(running.utilityPort != reread.utilityPort, "utility-port");
  note(running.boxUtilityPort != reread.boxUtilityPort, "box-utility-port");
  note(running.defaultBox != reread.defaultBox, "default-box");
  note(running.listenAddress != reread.listenAddress, "listen");
  note(running.logFile != reread.logFile, "log");
  note(running.statusPort != reread.statusPort, "status-port");
  note(running.statusListen != reread.statusListen, "status-listen");
  note(running.statusTokenFile != reread.statusTokenFile, "status-token-file");
  note(running.statusOpen != reread.statusOpen, "status-open");
  note(running.keepTrying != reread.keepTrying, "keep-trying");
  note(running.silentAfter != reread.silentAfter, "silent-after");
  note(running.serveAvailable != reread.serveAvailable, "serve-available");
  note(running.recordFile != reread.recordFile, "record");
  note(running.noRecord != reread.noRecord, "no-record");
  note(running.recordKeepDays != reread.recordKeepDays, "record-keep-days");
  note(running.recordMaxMiB != reread.recordMaxMiB, "record-max-mb");
  return keys;
}

HubConfig HubConfigOf(const CommandLine& options) {
  HubConfig config;
  config.listenAddress = options.listenAddress;
  config.dataPort = options.dataPort;
  config.utilityPort = options.utilityPort;
  config.boxUtilityPort = options.boxUtilityPort;
  config.defaultBoxAddress = options.defaultBox;
  config.health.silentAfter = options.silentAfter;
  config.serveAvailable->store(options.serveAvailable);
  if (options.keepTrying.count() != 0) config.hub.waitingRetry = options.keepTrying;
  return config;
}

}  // namespace tessamer
