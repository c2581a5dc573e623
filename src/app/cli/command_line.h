#pragma once
// The program's settings: every command-line option, and the configuration file --config names,
// which holds the same settings as `key = value` lines (the command line overrides it). Parsed
// into one record that the window and the headless runner read. No toolkit types, so that it can
// be tested on its own.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/box_list.h"
#include "hub/core/hub_config.h"
#include "recording/recording_settings.h"

namespace tessamer {

// Where the status endpoint listens unless --status-listen names another address: this machine
// alone.
inline constexpr const char* kStatusListenAddress = "127.0.0.1";

// The ranges of the recording's limits.
inline constexpr int kMaxRecordKeepDays = 36500;
inline constexpr int64_t kMaxRecordMiB = 16 * 1024 * 1024;  // 16 TiB

// The range of --keep-trying: its first wait.
inline constexpr std::chrono::milliseconds kMinKeepTrying{50};
inline constexpr std::chrono::milliseconds kMaxKeepTrying{3600 * 1000};

// Delivery to an MQTT broker (docs/mqtt.md). The password stays in its file: only the file's
// name is a setting.
struct MqttOptions {
  std::string url;           // --mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty: none
  std::string topicPrefix;   // empty: tessamer/<host name>
  std::string clientId;      // empty: tessamer-<host name>
  std::string user;          // empty: none
  std::string passwordFile;  // with a user
  std::string caFile;        // mqtts: the broker's authority; empty: the system's store
  std::string certFile;      // a client certificate, with its key
  std::string keyFile;
  bool operator==(const MqttOptions&) const = default;
};

struct CommandLine {
  bool headless = false;
  bool demo = false;
  bool version = false;
  bool help = false;
  bool checkConfig = false;                      // print the effective settings and exit
  std::string configFile;                        // settings read from this file; empty: none
  std::vector<BoxOption> boxes;                  // 1 to MaxBoxes, headless only
  int channels = kDefaultChannelLimit;           // channel limit, 1 to 6
  uint16_t dataPort = kDataPort;                 // 0: any free port
  uint16_t utilityPort = kUtilityPort;           // 0: any free port
  uint16_t boxPort = kBoxDataPort;               // boxes given without a port; the window's rows
  uint16_t boxUtilityPort = kBoxUtilityPort;     // utility port of every box
  std::string defaultBox = kDefaultBoxAddress;   // box of viewers' "##" commands
  std::string listenAddress = HubConfig{}.listenAddress;  // where both servers listen
  std::string logFile;                           // empty: the user's application-data folder
  std::optional<uint16_t> statusPort;            // the status endpoint's port (0: any); none: off
  std::string statusListen = kStatusListenAddress;  // the status endpoint's address or host name
  std::string statusTokenFile;                   // the file holding the endpoint's token; empty: none
  bool statusOpen = false;                       // beyond loopback without a token, on purpose
  std::string statusQuery;                       // --status: "[HOST:]PORT" of a hub to show; empty: none
  std::chrono::milliseconds keepTrying{0};       // headless: first wait before a new run; 0: none
  std::chrono::milliseconds silentAfter = kSilentAfter;  // a box without records is then silent
  bool serveAvailable = false;  // a run serves the boxes that answer and waits for the others
  std::string recordFile;                        // --record; empty: the program's default
  bool noRecord = false;                         // no recording at all
  int recordKeepDays = kRecordKeepDays;
  int64_t recordMaxMiB = static_cast<int64_t>(kRecordMaxMiB);
  MqttOptions mqtt;
  bool operator==(const CommandLine&) const = default;
};

// Parses the arguments after the program name, then the configuration file they name, into
// `options`. False with a one-line `error` (no line end) when an option is unknown, lacks its
// value or has a value out of range; an error in the file names the file and the line.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& options, std::string& error);

// The --help text.
std::string UsageText();

// The settings of `options` as a configuration file: one "key = value" line per setting that a
// file can hold, every value shown (a setting that is off as a comment line), so that the text
// read back as a file gives the same settings. What --check-config prints.
std::string SettingsText(const CommandLine& options);

// The keys of the settings that differ between the two and that a running headless hub cannot
// take over without a restart: everything but the box list, the box port, the channel limit and
// the MQTT settings (the uplink reconnects with those).
std::vector<std::string> RestartOnlyChanges(const CommandLine& running, const CommandLine& reread);

// The hub configuration the options ask for (ports, addresses, serve-available); time-outs keep
// their defaults, but for keep-trying's wait, which paces the tries of the boxes a run waits for.
HubConfig HubConfigOf(const CommandLine& options);

}  // namespace tessamer
