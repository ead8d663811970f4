#include "peers/IceCandidate.hpp"

#include <utility>

#include "protocol/TransferCandidateMessage.hpp"

namespace ombrelia {

IceCandidate::IceCandidate(std::string sdp, int32_t sdpMLineIndex,
                           std::optional<std::string> sdpMid)
    : sdp(std::move(sdp)), sdpMLineIndex(sdpMLineIndex), sdpMid(std::move(sdpMid)) {}

IceCandidate::IceCandidate(const TransferCandidateMessage& message)
    : sdp(message.candidate().candidate()),
      sdpMLineIndex(message.candidate().sdpMLineIndex()),
      sdpMid(message.candidate().sdpMid()) {}

}  // namespace ombrelia
