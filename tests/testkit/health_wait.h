#pragma once
// Waits, with a bound, until a health snapshot shows what a test expects. The figures change on
// the hub's own threads without a notice for each, so the snapshot is taken again every few
// milliseconds until the condition holds or the bound has passed.

#include <chrono>
#include <functional>
#include <thread>

#include "hub/core/health.h"

namespace tessamer::testkit {

// `take` makes a snapshot (a hub's health, a server's viewers). True when `done` held for one in
// time; `last` (may be null) receives the last snapshot taken.
template <typename Snapshot>
bool WaitForSnapshot(const std::function<Snapshot()>& take,
                     const std::function<bool(const Snapshot&)>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10),
                     Snapshot* last = nullptr) {
  constexpr std::chrono::milliseconds kRetake{5};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Snapshot snapshot = take();
    const bool held = done(snapshot);
    if (last != nullptr) *last = std::move(snapshot);
    if (held) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kRetake);
  }
}

// `hub` is anything with a Health() (the bridge, IHubControl).
template <typename Hub>
bool WaitForHealth(const Hub& hub, const std::function<bool(const HubHealth&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10),
                   HubHealth* last = nullptr) {
  return WaitForSnapshot<HubHealth>([&hub] { return hub.Health(); }, done, timeout, last);
}

}  // namespace tessamer::testkit
