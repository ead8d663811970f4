// Feeds arbitrary text to the session-description and candidate parsers, which read what remote
// peers send through the signalling service.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "datachannel/SdpParser.hpp"
#include "datachannel/SdpWriter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia::datachannel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const SdpParseResult result = SdpParser::parse(text);
  if (result.description) {
    // Whatever was accepted must write out and read back.
    const std::string written = SdpWriter::write(*result.description, SdpType::answer);
    if (!SdpParser::parse(written).description) __builtin_trap();
  }
  (void)SdpParser::parseCandidate(text);
  return 0;
}
