#pragma once
// A Mosquitto broker of the test's own: on 127.0.0.1 and a port nobody else has, with a
// configuration the test writes (anonymous clients allowed unless the test says otherwise,
// persistence in a folder of its own), started and stopped by the test, and stopped at the
// latest when the object goes. For the uplink's tests, the soak and the benchmark.
//
// The broker started as root drops to the user mosquitto, so its folder is open to everyone
// (mode 0777) and the files the test puts there are readable by all.
//
// Threads: one thread (the test's). POSIX only (the broker is a child process).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "testkit/scratch_folder.h"

namespace tessamer::testkit {

class MosquittoBroker {
 public:
  // The broker program, or empty when it is not installed (the test then skips, saying so).
  static std::string Program();
  static constexpr const char* kMissing = "mosquitto is not installed (scripts/setup.sh)";

  // A port of its own is chosen now; nothing runs yet.
  MosquittoBroker();
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Lines of the configuration: `general` replaces "allow_anonymous true" (e.g. a password
  // file), `listener` follows the listener's line (e.g. TLS files). Before Start.
  void Configure(std::vector<std::string> general, std::vector<std::string> listener = {});
  // Writes the configuration, starts the broker and waits (bounded) until it accepts. False
  // with `error` (its log) when it did not come up. Start again after Stop: the same port and
  // folder, persistence kept.
  bool Start(std::string& error);
  // SIGTERM, and waits for the end (the broker saves what it persists). True when it ended.
  bool Stop();

  uint16_t Port() const { return port; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port); }
  const ScratchFolder& Folder() const { return folder; }
  // A file in the broker's folder, readable by the broker.
  std::string WriteFile(const std::string& name, const std::string& text) const;
  // The broker's process while it runs (-1 when it does not).
  pid_t Pid() const { return running && process ? process->Pid() : -1; }
  std::string Log() const { return process ? process->ErrorText() : std::string(); }

 private:
  bool Accepts() const;

  ScratchFolder folder{"tessamer-broker"};
  uint16_t port = 0;
  std::vector<std::string> general{"allow_anonymous true"};
  std::vector<std::string> listener;
  std::unique_ptr<ChildProcess> process;  // the broker's run now, or the last one
  bool running = false;
};

// A free port on 127.0.0.1 now (the kernel's choice for a socket bound to port 0).
uint16_t FreeLoopbackPort();

}  // namespace tessamer::testkit
