#pragma once
// Waits, with a bound, until a hub's health snapshot shows what a test expects. The figures change
// on the hub's own threads without a notice for each, so the snapshot is taken again every few
// milliseconds until the condition holds or the bound has passed.

#include <chrono>
#include <functional>
#include <thread>

#include "hub/core/health.h"

namespace tessamer::testkit {

// `hub` is anything with a Health() (the bridge, IHubControl). True when `done` held in time;
// `last` (may be null) receives the last snapshot taken.
template <typename Hub>
bool WaitForHealth(const Hub& hub, const std::function<bool(const HubHealth&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   HubHealth* last = nullptr) {
  constexpr std::chrono::milliseconds kRetake{5};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    HubHealth health = hub.Health();
    const bool held = done(health);
    if (last != nullptr) *last = std::move(health);
    if (held) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kRetake);
  }
}

}  // namespace tessamer::testkit
