#pragma once
// What a run needs of one box's agent, and the production agent behind it. Tests put agents of
// their own in its place (through a BoxAgentFactory) to play the boxes.
//
// Threads: an agent connects and reads on threads of its own; the run calls Start, SetTargets and
// RequestStop from its task thread and deletes the agent once Agent() is done (or its wait ran
// out).

#include <cstdint>
#include <functional>
#include <memory>

#include "acquisition/device.h"
#include "hub/core/hub_config.h"
#include "hub/core/records.h"
#include "hub/runtime/message_blocks.h"
#include "hub/runtime/runtime_agent.h"

namespace tessamer {

inline constexpr int32_t kAgentMaxRecordsPerMinute = 60000;

class IBoxAgent {
 public:
  virtual ~IBoxAgent() = default;  // a deleted agent sends nothing more
  // Connects on the agent's own thread and sends a first Activity (Connected or ConnectFailed).
  virtual void Start() = 0;
  // Hands over the header and data targets; the agent starts reading its box.
  virtual void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                          std::shared_ptr<ITarget<DataNotification>> dataTarget) = 0;
  // Asks the agent to end soon; the run then waits for Agent() to be done.
  virtual void RequestStop() = 0;
  virtual agent& Agent() = 0;
};

// Makes the agent of one box: (agent index, link options, target of its Activity reports).
using BoxAgentFactory = std::function<std::unique_ptr<IBoxAgent>(
    int32_t agentIndex, const TcpOptions& options, std::shared_ptr<ITarget<Activity>> activity)>;

class CHealthRecorder;

// Makes real box agents (CVellumetricAgent) with the given time-outs, reporting to `health`
// (may be null; must outlive the agents).
BoxAgentFactory MakeBoxAgentFactory(const AcquisitionTimeouts& timeouts,
                                    CHealthRecorder* health = nullptr);

// The link options of the agent of `box`.
TcpOptions BoxLinkOptions(const Box& box);

}  // namespace tessamer
