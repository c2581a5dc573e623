#include "hub/core/health.h"

namespace tessamer {

const char* BoxStateName(BoxState state) {
  switch (state) {
    case BoxState::Idle:
      return "idle";
    case BoxState::Connecting:
      return "connecting";
    case BoxState::Connected:
      return "connected";
    case BoxState::Silent:
      return "silent";
    case BoxState::Lost:
      return "lost";
    case BoxState::Failed:
      return "failed";
    case BoxState::Stopped:
      return "stopped";
  }
  return "idle";
}

}  // namespace tessamer
