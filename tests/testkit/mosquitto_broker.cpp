#include "testkit/mosquitto_broker.h"

#include <asio.hpp>
#include <csignal>
#include <filesystem>
#include <fstream>

namespace tessamer::testkit {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kBrokerPaths[] = {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"};
constexpr std::chrono::milliseconds kStartWait = 10s;  // until it accepts
constexpr std::chrono::milliseconds kProbePause = 20ms;  // between two probes, waiting on its end
constexpr std::chrono::milliseconds kStopWait = 10s;

}  // namespace

uint16_t FreeLoopbackPort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address_v4("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

std::string MosquittoBroker::Program() {
  for (const char* path : kBrokerPaths) {
    std::error_code error;
    if (fs::exists(path, error)) return path;
  }
  return {};
}

MosquittoBroker::MosquittoBroker() : port(FreeLoopbackPort()) {
  fs::permissions(folder.Path(), fs::perms::all);
}

MosquittoBroker::~MosquittoBroker() { Stop(); }

void MosquittoBroker::Configure(std::vector<std::string> generalLines,
                                std::vector<std::string> listenerLines) {
  general = std::move(generalLines);
  listener = std::move(listenerLines);
}

std::string MosquittoBroker::WriteFile(const std::string& name, const std::string& text) const {
  const std::string path = folder.File(name);
  std::ofstream(path, std::ios::trunc) << text;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read | fs::perms::others_read);
  return path;
}

bool MosquittoBroker::Start(std::string& error) {
  std::string config = "persistence true\npersistence_location " + folder.Path().string() +
                       "/\nlog_dest stderr\nlog_type error\nlog_type warning\n"
                       "max_queued_messages 0\n";  // a subscriber away misses nothing
  for (const std::string& line : general) config += line + "\n";
  config += "listener " + std::to_string(port) + " 127.0.0.1\n";
  for (const std::string& line : listener) config += line + "\n";
  const std::string file = WriteFile("mosquitto.conf", config);
  process = std::make_unique<ChildProcess>();
  if (!process->Start(Program(), {"-c", file})) {
    error = "mosquitto could not be started";
    return false;
  }
  running = true;
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts()) return true;
    int status = 0;
    if (process->WaitExit(status, kProbePause)) {  // the pause is a wait for its end
      running = false;
      error = "mosquitto ended with status " + std::to_string(status) + ": " + Log();
      return false;
    }
  }
  error = "mosquitto did not accept within 10 s: " + Log();
  return false;
}

bool MosquittoBroker::Stop() {
  if (!running) return true;
  running = false;
  process->Signal(SIGTERM);
  int status = 0;
  return process->WaitExit(status, kStopWait);
}

bool MosquittoBroker::Accepts() const {
  asio::io_context context;
  asio::ip::tcp::socket socket(context);
  asio::error_code error;
  socket.connect({asio::ip::make_address_v4("127.0.0.1"), port}, error);
  return !error;
}

}  // namespace tessamer::testkit
