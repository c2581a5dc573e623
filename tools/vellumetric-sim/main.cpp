// vellumetric-sim: simulated logger boxes on loopback addresses, until SIGINT, SIGTERM or "quit".

#include <asio.hpp>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "box_simulator.h"
#include "sim_options.h"

namespace {

using tessamer::sim::CBoxSimulator;

std::mutex outputMutex;  // one writer at a time on standard output

void PrintLine(const std::string& line) {
  std::lock_guard guard(outputMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Applies one control line from standard input; false for "quit".
bool Control(CBoxSimulator& simulator, const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  size_t index = 0;
  words >> verb;
  if (verb.empty()) return true;
  if (verb == "quit") return false;
  if (!(words >> index) || index >= simulator.BoxCount()) {
    PrintLine("error: " + line);
    return true;
  }
  auto& box = simulator.Box(index);
  if (verb == "drop") {
    box.Drop();
  } else if (verb == "refuse") {
    box.SetRefusing(true);
  } else if (verb == "accept") {
    box.SetRefusing(false);
  } else if (verb == "silent") {
    box.SetSilent(true);
  } else if (verb == "speak") {
    box.SetSilent(false);
  } else if (verb == "noise") {
    box.SetNoisy(true);
  } else if (verb == "clean") {
    box.SetNoisy(false);
  } else {
    PrintLine("error: " + line);
    return true;
  }
  PrintLine("ok: " + line);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  tessamer::sim::SimulatorOptions options;
  std::string error;
  switch (tessamer::sim::ParseSimCommandLine(args, options, error)) {
    case tessamer::sim::SimCommand::Help:
      std::fputs(tessamer::sim::SimUsage().c_str(), stdout);
      return 0;
    case tessamer::sim::SimCommand::Error:
      std::fprintf(stderr, "vellumetric-sim: %s (see --help)\n", error.c_str());
      return 2;
    case tessamer::sim::SimCommand::Run:
      break;
  }

  CBoxSimulator simulator(options);
  simulator.SetCommandObserver([](int box, const std::string& request) {
    PrintLine("command box=" + std::to_string(box) + " text=" + request);
  });
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "vellumetric-sim: %s\n", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < simulator.BoxCount(); ++i) {
    const auto& box = simulator.Box(i);
    PrintLine("box " + std::to_string(i) + " address=" + box.Address() + " data=" +
              std::to_string(box.DataPort()) + " utility=" + std::to_string(box.UtilityPort()));
  }
  PrintLine("ready");

  // The main thread waits for a signal or "quit"; a reader thread blocks on standard input.
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  asio::signal_set signals(context, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code&, int) { guard.reset(); context.stop(); });
  std::thread input([&] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "quit") break;
      asio::post(context, [&simulator, line] { Control(simulator, line); });
    }
    if (line == "quit") asio::post(context, [&] { context.stop(); });
  });
  input.detach();  // it may stay blocked on standard input until the process ends
  context.run();
  simulator.Stop();
  PrintLine("stopped");
  std::fflush(stdout);
  std::_Exit(0);  // the input thread may still be blocked reading; end without waiting for it
}
