#include "hub/runtime/runtime_event.h"

#include <algorithm>

namespace tessamer {

// One wait_for_multiple call: the first event set fills `index`.
struct event::Waiter {
  std::mutex mutex;
  std::condition_variable woken;
  size_t index = timeout_value;  // guarded by mutex
};

event::~event() = default;

void event::set() {
  std::lock_guard lock(mutex);
  signaled = true;
  changed.notify_all();
  for (auto& [waiter, index] : multiWaiters) {
    std::lock_guard waiterLock(waiter->mutex);
    if (waiter->index == timeout_value) waiter->index = index;
    waiter->woken.notify_all();
  }
}

void event::reset() {
  std::lock_guard lock(mutex);
  signaled = false;
}

bool event::is_set() const {
  std::lock_guard lock(mutex);
  return signaled;
}

void event::wait() {
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return signaled; });
}

bool event::wait_for(std::chrono::milliseconds timeout) {
  if (timeout == infinite) {
    wait();
    return true;
  }
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [this] { return signaled; });
}

void event::Register(Waiter* waiter, size_t index) { multiWaiters.emplace_back(waiter, index); }

void event::Unregister(Waiter* waiter) {
  std::lock_guard lock(mutex);
  std::erase_if(multiWaiters, [waiter](const auto& entry) { return entry.first == waiter; });
}

size_t event::wait_for_multiple(const std::vector<event*>& events,
                                std::chrono::milliseconds timeout) {
  Waiter waiter;
  size_t registered = 0;
  size_t found = timeout_value;
  for (; registered < events.size(); ++registered) {
    event* e = events[registered];
    std::lock_guard lock(e->mutex);
    if (e->signaled) {
      found = registered;
      break;
    }
    e->Register(&waiter, registered);
  }
  if (found == timeout_value) {
    std::unique_lock lock(waiter.mutex);
    auto woken = [&waiter] { return waiter.index != timeout_value; };
    if (timeout == infinite) {
      waiter.woken.wait(lock, woken);
    } else {
      waiter.woken.wait_for(lock, timeout, woken);
    }
    found = waiter.index;
  }
  for (size_t i = 0; i < registered; ++i) events[i]->Unregister(&waiter);
  return found;
}

}  // namespace tessamer
