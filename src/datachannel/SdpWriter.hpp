#pragma once
// Any thread: stateless.

#include <string>

#include "datachannel/SdpDescription.hpp"

namespace ombrelia::datachannel {

// Writes the offer or answer of a data-channel-only session, lines ending in CRLF.
class SdpWriter {
 public:
  SdpWriter() = delete;

  static std::string write(const SdpDescription& description, SdpType type);
};

}  // namespace ombrelia::datachannel
