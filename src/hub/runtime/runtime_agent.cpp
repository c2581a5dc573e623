#include "hub/runtime/runtime_agent.h"

#include <exception>
#include <string>

#include "support/simple_log_file.h"

namespace tessamer {

agent::~agent() { join(); }

bool agent::start() {
  std::lock_guard lock(mutex);
  if (state != agent_status::created) return false;
  state = agent_status::started;
  thread = std::thread([this] { Main(); });
  return true;
}

agent_status agent::status() const {
  std::lock_guard lock(mutex);
  return state;
}

bool agent::done() {
  std::lock_guard lock(mutex);
  if (state == agent_status::done) return false;
  state = agent_status::done;
  finished.notify_all();
  return true;
}

void agent::join() {
  std::thread ending;
  {
    std::lock_guard lock(mutex);
    if (!thread.joinable() || thread.get_id() == std::this_thread::get_id()) return;
    ending = std::move(thread);
  }
  ending.join();
}

void agent::Main() {
  try {
    run();
  } catch (const std::exception& e) {
    DiagnosticLog().WriteRecordA(std::string("Agent ended by an exception: ") + e.what());
  } catch (...) {
    DiagnosticLog().WriteRecordA("Agent ended by an exception");
  }
  done();
}

void agent::wait_for_all(const std::vector<agent*>& agents, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + (timeout == infinite ? std::chrono::milliseconds(0) : timeout);
  for (agent* a : agents) {
    std::unique_lock lock(a->mutex);
    auto isDone = [a] { return a->state == agent_status::done; };
    if (timeout == infinite) {
      a->finished.wait(lock, isDone);
    } else if (!a->finished.wait_until(lock, deadline, isDone)) {
      throw operation_timed_out();
    }
  }
}

}  // namespace tessamer
