#include "hub/core/job_output.h"

#include <utility>

namespace tessamer {

const char* BoxEventName(BoxEventKind kind) {
  switch (kind) {
    case BoxEventKind::Connected: return "connected";
    case BoxEventKind::Lost: return "lost";
    case BoxEventKind::Failed: return "failed";
    case BoxEventKind::Silent: return "silent";
    case BoxEventKind::Speaking: return "speaking";
    case BoxEventKind::Stopped: return "stopped";
  }
  return "";
}

void CJobOutputs::Add(std::shared_ptr<IJobOutput> output) {
  std::lock_guard guard(lock);
  outputs.push_back(std::move(output));
}

void CJobOutputs::OnRunStarted(const RunStarted& run) {
  std::lock_guard guard(lock);
  for (const auto& output : outputs) output->OnRunStarted(run);
}

void CJobOutputs::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  std::lock_guard guard(lock);
  for (const auto& output : outputs) output->OnHeader(header);
}

void CJobOutputs::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  std::lock_guard guard(lock);
  for (const auto& output : outputs) output->OnRecord(record);
}

void CJobOutputs::OnBoxEvent(const BoxEvent& event) {
  std::lock_guard guard(lock);
  for (const auto& output : outputs) output->OnBoxEvent(event);
}

void CJobOutputs::OnRunEnded(const RunEnded& end) {
  std::lock_guard guard(lock);
  for (const auto& output : outputs) output->OnRunEnded(end);
}

void CJobOutputs::AddHealth(HubHealth& health) const {
  for (const auto& output : outputs) output->AddHealth(health);
}

}  // namespace tessamer
