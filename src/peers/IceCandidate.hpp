#pragma once
// Any thread: a plain value.

#include <cstdint>
#include <optional>
#include <string>

namespace ombrelia {

class TransferCandidateMessage;

// The local form of a received ICE candidate. `sdp` holds the candidate line, not an SDP body.
struct IceCandidate {
  IceCandidate(std::string sdp, int32_t sdpMLineIndex, std::optional<std::string> sdpMid);
  // The mid stays absent when the sender gave none; the peer list applies its default.
  explicit IceCandidate(const TransferCandidateMessage& message);

  std::string sdp;
  int32_t sdpMLineIndex;
  std::optional<std::string> sdpMid;

  friend bool operator==(const IceCandidate&, const IceCandidate&) = default;
};

}  // namespace ombrelia
