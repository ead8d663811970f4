#pragma once
// Any thread: an immutable value.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/JsonReader.hpp"

namespace ombrelia {

// The ICE candidate nested in a received "transfer".
class Candidate {
 public:
  Candidate(std::string candidate, std::optional<std::string> sdpMid, int32_t sdpMLineIndex,
            std::optional<std::string> usernameFragment);

  // "sdpMid" and "usernameFragment" may be absent or null, but not of another kind;
  // "sdpMLineIndex" must be an integer in the signed 32-bit range.
  static std::optional<Candidate> decode(const platform::JsonReader& object);

  const std::string& candidate() const { return candidate_; }
  const std::optional<std::string>& sdpMid() const { return sdpMid_; }
  int32_t sdpMLineIndex() const { return sdpMLineIndex_; }
  const std::optional<std::string>& usernameFragment() const { return usernameFragment_; }

  friend bool operator==(const Candidate&, const Candidate&) = default;

 private:
  std::string candidate_;
  std::optional<std::string> sdpMid_;
  int32_t sdpMLineIndex_;
  std::optional<std::string> usernameFragment_;
};

}  // namespace ombrelia
