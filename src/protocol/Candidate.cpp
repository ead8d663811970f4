#include "protocol/Candidate.hpp"

#include <utility>

namespace ombrelia {

Candidate::Candidate(std::string candidate, std::optional<std::string> sdpMid,
                     int32_t sdpMLineIndex, std::optional<std::string> usernameFragment)
    : candidate_(std::move(candidate)),
      sdpMid_(std::move(sdpMid)),
      sdpMLineIndex_(sdpMLineIndex),
      usernameFragment_(std::move(usernameFragment)) {}

std::optional<Candidate> Candidate::decode(const platform::JsonReader& object) {
  auto candidate = object.string("candidate");
  auto sdpMid = object.optionalString("sdpMid");
  auto sdpMLineIndex = object.int32("sdpMLineIndex");
  auto usernameFragment = object.optionalString("usernameFragment");
  if (!candidate || !sdpMid || !sdpMLineIndex || !usernameFragment) return std::nullopt;
  return Candidate(std::move(*candidate), std::move(*sdpMid), *sdpMLineIndex,
                   std::move(*usernameFragment));
}

}  // namespace ombrelia
