#include "hub/runtime/message_blocks.h"

#include <asio/post.hpp>

#include <algorithm>
#include <exception>
#include <string>
#include <thread>

#include "support/simple_log_file.h"

namespace tessamer {

namespace {
// Enough threads that a few blocks waiting on a lock do not stall the others.
constexpr unsigned kMinPoolThreads = 4;
}  // namespace

asio::thread_pool& RuntimePool() {
  static asio::thread_pool pool(std::max(kMinPoolThreads, std::thread::hardware_concurrency()));
  return pool;
}

namespace detail {

std::mutex& LinkMutex() {
  static std::mutex mutex;
  return mutex;
}

TargetBase::~TargetBase() { UnlinkFromSources(); }

void TargetBase::UnlinkFromSources() {
  std::lock_guard topology(LinkMutex());
  for (SourceBase* source : sources) {
    source->DropTargetLocked(this);
    std::erase(source->linked, this);
  }
  sources.clear();
}

void SourceBase::AddLinkLocked(TargetBase* target) {
  linked.push_back(target);
  target->sources.push_back(this);
}

void SourceBase::RemoveAllLinksLocked() {
  for (TargetBase* target : linked) {
    auto& list = target->sources;
    // A target linked twice to one source is listed twice; drop one entry per link.
    auto it = std::find(list.begin(), list.end(), this);
    if (it != list.end()) list.erase(it);
  }
  linked.clear();
}

bool SerialRunner::Post(std::function<void()> work) {
  std::lock_guard lock(mutex);
  if (closed) return false;
  queue.push_back(std::move(work));
  if (!running) {
    running = true;
    asio::post(RuntimePool(), [this] { Drain(); });
  }
  return true;
}

void SerialRunner::Drain() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex);
      if (queue.empty()) {
        running = false;
        // Notified under the lock: Close may destroy this object as soon as it sees the flag.
        idle.notify_all();
        return;
      }
      work = std::move(queue.front());
      queue.pop_front();
    }
    try {
      work();
    } catch (const std::exception& e) {
      DiagnosticLog().WriteRecordA(std::string("Message block action failed: ") + e.what());
    } catch (...) {
      DiagnosticLog().WriteRecordA("Message block action failed");
    }
  }
}

void SerialRunner::Close() {
  std::unique_lock lock(mutex);
  closed = true;
  queue.clear();
  idle.wait(lock, [this] { return !running; });
}

}  // namespace detail
}  // namespace tessamer
