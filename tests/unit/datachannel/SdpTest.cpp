#include <gtest/gtest.h>

#include <string>

#include "datachannel/SdpParser.hpp"

namespace ombrelia::datachannel {
namespace {

// What a browser writes for a data-channel-only offer (mDNS host candidate included).
const char* const kBrowserOffer =
    "v=0\r\n"
    "o=- 4611731400430051336 2 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "t=0 0\r\n"
    "a=group:BUNDLE 0\r\n"
    "a=extmap-allow-mixed\r\n"
    "a=msid-semantic: WMS\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "a=candidate:1467250027 1 udp 2122260223 4b2f1a3c-1111-2222-3333-444455556666.local 54321 "
    "typ host generation 0 network-id 1\r\n"
    "a=candidate:2 1 udp 1686052607 203.0.113.7 61000 typ srflx raddr 0.0.0.0 rport 0 "
    "generation 0\r\n"
    "a=ice-ufrag:EsAw\r\n"
    "a=ice-pwd:bP+XJMM09aR8AiX1jdukzR6Y\r\n"
    "a=ice-options:trickle\r\n"
    "a=fingerprint:sha-256 "
    "6B:8B:F0:65:5F:78:E2:51:3B:AC:6F:F3:3F:46:1B:35:DC:B8:5F:64:1A:24:C2:43:F0:A1:58:D0:A1:2C:"
    "19:08\r\n"
    "a=setup:actpass\r\n"
    "a=mid:0\r\n"
    "a=sctp-port:5000\r\n"
    "a=max-message-size:262144\r\n";

TEST(SdpTest, RefusesDescriptionsItCannotConnectWith) {
  ASSERT_TRUE(SdpParser::parse(kBrowserOffer).description) << "the baseline itself parses";
  std::string noFingerprint = kBrowserOffer;
  noFingerprint.erase(noFingerprint.find("a=fingerprint"),
                      noFingerprint.find("a=setup") - noFingerprint.find("a=fingerprint"));
  EXPECT_EQ(SdpParser::parse(noFingerprint).error, SdpError::missingFingerprint);

  std::string audioOnly = "v=0\r\nm=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=ice-ufrag:abcd\r\n";
  EXPECT_EQ(SdpParser::parse(audioOnly).error, SdpError::noApplicationSection);

  std::string rejected = kBrowserOffer;
  rejected.replace(rejected.find("m=application 9"), 15, "m=application 0");
  EXPECT_EQ(SdpParser::parse(rejected).error, SdpError::noApplicationSection);

  std::string badFingerprint = kBrowserOffer;
  badFingerprint.replace(badFingerprint.find("6B:8B"), 5, "6B-8B");
  EXPECT_EQ(SdpParser::parse(badFingerprint).error, SdpError::invalidAttribute);

  std::string colonInUfrag = kBrowserOffer;
  colonInUfrag.replace(colonInUfrag.find("EsAw"), 4, "Es:w");
  EXPECT_EQ(SdpParser::parse(colonInUfrag).error, SdpError::invalidIceCredentials);

  EXPECT_EQ(SdpParser::parse(std::string(70 * 1024, 'a')).error, SdpError::tooLarge);
  EXPECT_EQ(SdpParser::parse("").error, SdpError::noApplicationSection);
}

TEST(SdpTest, CandidateLinesParseWithOrWithoutPrefixAndRejectGarbage) {
  const auto plain = SdpParser::parseCandidate(
      "candidate:842163049 1 udp 1677729535 192.0.2.10 3478 typ srflx raddr 10.0.0.1 rport 5000 "
      "generation 0 ufrag EsAw network-cost 999");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->foundation, "842163049");
  EXPECT_EQ(plain->priority, 1677729535u);
  EXPECT_EQ(plain->relatedPort, 5000);
  EXPECT_EQ(plain->line(),
            "candidate:842163049 1 udp 1677729535 192.0.2.10 3478 typ srflx raddr 10.0.0.1 "
            "rport 5000");
  EXPECT_TRUE(SdpParser::parseCandidate("a=candidate:1 1 UDP 5 ::1 9 typ host\r\n"));
  EXPECT_TRUE(
      SdpParser::parseCandidate("a=candidate:1 1 tcp 5 127.0.0.1 9 typ host tcptype "
                                "passive"));

  for (const char* bad : {
           "",
           "candidate:",
           "candidate:1 1 udp 5 127.0.0.1 9 host",          // "typ" missing
           "candidate:1 1 udp 5 127.0.0.1 70000 typ host",  // port out of range
           "candidate:1 1 udp 99999999999 127.0.0.1 9 typ host",
           "candidate:1 0 udp 5 127.0.0.1 9 typ host",  // component 0
           "candidate:1 1 sctp 5 127.0.0.1 9 typ host",
           "candidate:1 1 udp 5 127.0.0.1 9 typ bogus",
           "candidate:1 1 udp 5 127.0.0.1;rm 9 typ host",
           "x=candidate:1 1 udp 5 127.0.0.1 9 typ host",
       }) {
    EXPECT_FALSE(SdpParser::parseCandidate(bad)) << bad;
  }
}

}  // namespace
}  // namespace ombrelia::datachannel
