#include "datachannel/SdpWriter.hpp"

namespace ombrelia::datachannel {
namespace {

const char* setupText(SdpSetup setup) {
  switch (setup) {
    case SdpSetup::active:
      return "active";
    case SdpSetup::passive:
      return "passive";
    case SdpSetup::actpass:
      break;
  }
  return "actpass";
}

}  // namespace

std::string SdpWriter::write(const SdpDescription& d, SdpType type) {
  (void)type;  // offers and answers differ only in the setup value the caller chose
  std::string out;
  out.reserve(1024 + 128 * d.candidates.size());
  const auto line = [&out](const std::string& text) { out.append(text).append("\r\n"); };
  line("v=0");
  line("o=- " + (d.sessionId.empty() ? std::string("0") : d.sessionId) + " 0 IN IP4 127.0.0.1");
  line("s=-");
  line("t=0 0");
  line("a=group:BUNDLE " + d.mid);
  line("a=msid-semantic:WMS *");
  if (d.iceLite) line("a=ice-lite");
  line("m=application 9 UDP/DTLS/SCTP webrtc-datachannel");
  line("c=IN IP4 0.0.0.0");
  line("a=mid:" + d.mid);
  line("a=sendrecv");
  line("a=ice-ufrag:" + d.iceUfrag);
  line("a=ice-pwd:" + d.icePwd);
  line("a=ice-options:trickle");
  for (const SdpFingerprint& fp : d.fingerprints) {
    line("a=fingerprint:" + fp.algorithm + " " + fp.value);
  }
  line(std::string("a=setup:") + setupText(d.setup));
  line("a=sctp-port:" + std::to_string(d.sctpPort));
  if (d.maxMessageSize) line("a=max-message-size:" + std::to_string(*d.maxMessageSize));
  for (const SdpCandidate& candidate : d.candidates) line("a=" + candidate.line());
  if (d.endOfCandidates) line("a=end-of-candidates");
  return out;
}

}  // namespace ombrelia::datachannel
