#pragma once
// Any thread: stateless.

#include <optional>
#include <string_view>

#include "datachannel/SdpCandidate.hpp"
#include "datachannel/SdpDescription.hpp"

namespace ombrelia::datachannel {

enum class SdpError {
  none,
  tooLarge,
  noApplicationSection,
  missingIceCredentials,
  invalidIceCredentials,
  missingFingerprint,
  invalidAttribute,
};

struct SdpParseResult {
  std::optional<SdpDescription> description;
  SdpError error = SdpError::none;
};

// Reads what browsers, aiortc and libdatachannel write for a data-channel session. The text comes
// from a remote peer through the signalling service: every length is bounded and nothing in it
// can make the parser read out of bounds or throw.
class SdpParser {
 public:
  SdpParser() = delete;

  static SdpParseResult parse(std::string_view sdp);
  // One candidate, with or without the "a=" prefix.
  static std::optional<SdpCandidate> parseCandidate(std::string_view line);
  static std::string_view errorText(SdpError error);
};

}  // namespace ombrelia::datachannel
