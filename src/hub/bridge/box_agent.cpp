#include "hub/bridge/box_agent.h"

#include <utility>

#include "acquisition/vellumetric_agent.h"
#include "support/text.h"

namespace tessamer {

namespace {

// The production agent: one CVellumetricAgent per box.
class CBoxAgent final : public IBoxAgent {
 public:
  CBoxAgent(int32_t agentIndex, const TcpOptions& options,
            std::shared_ptr<ITarget<Activity>> activity, const AcquisitionTimeouts& timeouts,
            CHealthRecorder* health)
      : boxAgent(agentIndex, options, std::move(activity), timeouts, health) {}
  void Start() override { boxAgent.start(); }
  void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                  std::shared_ptr<ITarget<DataNotification>> dataTarget) override {
    boxAgent.SetTargets(std::move(headerTarget), std::move(dataTarget));
  }
  void RequestStop() override { boxAgent.RequestStop(); }
  agent& Agent() override { return boxAgent; }

 private:
  CVellumetricAgent boxAgent;
};

}  // namespace

BoxAgentFactory MakeBoxAgentFactory(const AcquisitionTimeouts& timeouts,
                                    CHealthRecorder* health) {
  return [timeouts, health](int32_t agentIndex, const TcpOptions& options,
                            std::shared_ptr<ITarget<Activity>> activity)
             -> std::unique_ptr<IBoxAgent> {
    return std::make_unique<CBoxAgent>(agentIndex, options, std::move(activity), timeouts,
                                       health);
  };
}

TcpOptions BoxLinkOptions(const Box& box) {
  TcpOptions options;
  options.host = Widen(DottedText(box.address));
  options.port = box.port;
  options.MaxRecordsPerMinute = kAgentMaxRecordsPerMinute;
  return options;
}

}  // namespace tessamer
