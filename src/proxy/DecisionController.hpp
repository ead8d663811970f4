#pragma once
// Any thread: keeps no state of its own.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

#include "protocol/Decision.hpp"

namespace ombrelia {

class OmbreliaDecision;
class SignalingClient;

// Chooses the origin or the subscribed peer for each segment.
class DecisionController {
 public:
  DecisionController(std::string videoID, std::string clientID,
                     std::shared_ptr<SignalingClient> signalClient);

  Decision playlistDownloadMethod(const Url& playlistURL) const;
  // Calls the completion once, at once, on the calling thread.
  void videoOrAudioSegmentMethod(const Url& segmentURL,
                                 const std::optional<SegmentInfo>& segmentInfo,
                                 const std::function<void(Decision)>& completion) const;

  const std::shared_ptr<OmbreliaDecision>& ombreliaDecision() const { return ombreliaDecision_; }

 private:
  std::shared_ptr<OmbreliaDecision> ombreliaDecision_;
};

}  // namespace ombrelia
