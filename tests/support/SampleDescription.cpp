#include "support/SampleDescription.hpp"

namespace ombrelia::test {

std::string SampleDescription::withFingerprint(const std::string& pair, const std::string& digest,
                                               const std::string& iceUfrag) {
  std::string fingerprint = pair;
  for (int i = 1; i < 32; ++i) fingerprint += ":" + pair;
  return "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n"
         "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
         "a=ice-ufrag:" +
         iceUfrag +
         "\r\na=ice-pwd:bP+XJMM09aR8AiX1jdukzR6Y\r\n"
         "a=fingerprint:" +
         digest + " " + fingerprint + "\r\na=setup:actpass\r\na=mid:0\r\n";
}

}  // namespace ombrelia::test
