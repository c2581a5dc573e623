#include "testkit/fake_hub.h"

#include <algorithm>

namespace tessamer::testkit {

FakeHub::FakeHub(INoticeSink* sink, FakeHubScript script, std::shared_ptr<FakeHubCalls> calls)
    : script(std::move(script)), calls(std::move(calls)), sink(sink) {}

FakeHub::~FakeHub() {
  JoinPoster();
  Post(script.onDestroy);
  calls->destroyed = true;
}

bool FakeHub::StartServers() {
  ++calls->startServers;
  return script.serversStart;
}

bool FakeHub::Start(const std::vector<Box>& boxes, int channelLimit) {
  JoinPoster();
  const size_t start = calls->runs.size();
  calls->runs.push_back(FakeHubRun{boxes, channelLimit});
  if (!script.startNotices.empty()) {
    std::vector<Notice> notices =
        script.startNotices[std::min(start, script.startNotices.size() - 1)];
    poster = std::thread([this, notices = std::move(notices)] { Post(notices); });
  }
  return script.startResult;
}

bool FakeHub::Stop() {
  JoinPoster();
  ++calls->stops;
  if (script.onStop) script.onStop();
  {
    std::unique_lock lock(mutex);
    runEnded.wait(lock, [this] { return !runHeld; });
  }
  if (script.stoppedOnStop) Post({StoppedNotice{}});
  return true;
}

HubHealth FakeHub::Health() const {
  std::lock_guard guard(healthLock);
  return script.health;
}

void FakeHub::SetHealth(HubHealth health) {
  std::lock_guard guard(healthLock);
  script.health = std::move(health);
}

void FakeHub::HoldRunEnd() {
  std::lock_guard guard(mutex);
  runHeld = true;
}

void FakeHub::EndRun() {
  {
    std::lock_guard guard(mutex);
    runHeld = false;
  }
  runEnded.notify_all();
}

void FakeHub::Post(const std::vector<Notice>& notices) {
  if (sink == nullptr) return;
  for (const Notice& notice : notices) sink->Post(notice);
}

void FakeHub::JoinPoster() {
  if (poster.joinable()) poster.join();
}

}  // namespace tessamer::testkit
