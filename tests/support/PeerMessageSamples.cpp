#include "support/PeerMessageSamples.hpp"

#include "peers/WebRTCClient.hpp"
#include "protocol/AbonnementRequestMessage.hpp"
#include "protocol/AbonnementResponseMessage.hpp"
#include "protocol/FileAvailabilityRequestMessage.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "protocol/FileRequestEndMessage.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/PeerChainMessage.hpp"

namespace ombrelia::test {

namespace {

template <typename Message>
std::string text(const Message& message) {
  return message.encode().text.value_or("");
}

}  // namespace

std::vector<std::string> PeerMessageSamples::sendEveryKind(WebRTCClient& client) {
  const auto id = *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
  const FileRequestEndMessage end("fileRequestEnd", id);
  const FileRequestStopMessage stop("fileRequestStop", id);
  const FileRequestMessage request("fileRequest", id, "video-1", 42, 2, "video");
  const FileAvailabilityRequestMessage availability("fileAvailability", id, "audio", 1, 43,
                                                    "video-1", 0.25);
  const FileAvailabilityResponseMessage availabilityResponse(
      "fileAvailabilityResponse", id, SegmentReady::ok, 2, 3, 44, 45, 12.5, 0.5);
  const AbonnementRequestMessage abonnement("aboRequest", id, 7);
  const AbonnementResponseMessage abonnementResponse("aboResponse", id, true);
  const PeerChainMessage chain("mi", id, "0a1b2c3d;5b1e2c3d");
  const FileRequestResponseMessage response("fileRequestResponse", id, true, 0, 100000, 7, 100000,
                                            std::nullopt, std::nullopt, std::nullopt);
  client.sendFileRequestEnd(end);
  client.sendFileRequestStop(stop);
  client.sendFileRequestMessage(request);
  client.sendFileAvailbilityRequestMessage(availability);
  client.sendFileAvailbilityResponseMessage(availabilityResponse);
  client.sendAbonnementRequestMessage(abonnement);
  client.sendAbonnementResponseMessage(abonnementResponse);
  client.sendPeerChainMessage(chain);
  client.sendFileRequestResponseMessage(response);
  return {text(end),
          text(stop),
          text(request),
          text(availability),
          text(availabilityResponse),
          text(abonnement),
          text(abonnementResponse),
          text(chain),
          text(response)};
}

}  // namespace ombrelia::test
