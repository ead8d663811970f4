#pragma once
// Any thread: a plain value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datachannel/SdpCandidate.hpp"

namespace ombrelia::datachannel {

enum class SdpType { offer, answer };

// The DTLS role negotiation of the "setup" attribute.
enum class SdpSetup { actpass, active, passive };

struct SdpFingerprint {
  std::string algorithm;  // lower case, "sha-256"
  std::string value;      // upper-case hex pairs separated by colons
};

// What a data-channel-only session description says about its one application section.
struct SdpDescription {
  std::string sessionId;
  std::string iceUfrag;
  std::string icePwd;
  bool iceLite = false;
  std::vector<SdpFingerprint> fingerprints;
  SdpSetup setup = SdpSetup::actpass;
  std::string mid = "0";
  uint16_t sctpPort = 5000;
  // None when the description does not say; 0 means the peer takes messages of any size.
  std::optional<size_t> maxMessageSize;
  std::vector<SdpCandidate> candidates;
  bool endOfCandidates = false;
};

}  // namespace ombrelia::datachannel
