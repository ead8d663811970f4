#include <gtest/gtest.h>

#include <string>

#include "datachannel/SdpParser.hpp"
#include "datachannel/SdpWriter.hpp"

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

// aiortc writes credentials and fingerprints at media level, several digests, and no
// max-message-size.
const char* const kAiortcAnswer =
    "v=0\n"
    "o=- 3909183455 3909183455 IN IP4 0.0.0.0\n"
    "s=-\n"
    "t=0 0\n"
    "a=group:BUNDLE 0\n"
    "a=msid-semantic:WMS *\n"
    "m=application 51000 DTLS/SCTP 5000\n"
    "c=IN IP4 127.0.0.1\n"
    "a=mid:0\n"
    "a=sctpmap:5000 webrtc-datachannel 65535\n"
    "a=candidate:a1b2c3d4 1 udp 2130706431 127.0.0.1 51000 typ host\n"
    "a=end-of-candidates\n"
    "a=ice-ufrag:Zk3q\n"
    "a=ice-pwd:Q1zyS2bMh2nXvM4JZCqgEA\n"
    "a=fingerprint:sha-256 "
    "AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:"
    "88:99\n"
    "a=fingerprint:sha-512 "
    "aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:"
    "88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:"
    "66:77:88:99\n"
    "a=setup:active\n";

// What node-datachannel (libdatachannel) writes: the fingerprint and ICE options at session
// level, credentials at the end of the media section, no candidates (it trickles them all,
// with "a=" and an upper-case transport).
const char* const kNodeDataChannelOffer =
    "v=0\r\n"
    "o=rtc 4283154761 0 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "t=0 0\r\n"
    "a=group:BUNDLE 0\r\n"
    "a=msid-semantic:WMS *\r\n"
    "a=ice-options:ice2,trickle\r\n"
    "a=fingerprint:sha-256 "
    "49:75:02:D1:36:F1:91:4A:A0:6C:25:AC:F7:65:45:22:2A:8B:92:F6:EA:E6:89:F1:1C:77:A2:7E:E1:FD:"
    "70:64\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "a=mid:0\r\n"
    "a=sendrecv\r\n"
    "a=sctp-port:5000\r\n"
    "a=max-message-size:262144\r\n"
    "a=setup:actpass\r\n"
    "a=ice-ufrag:ub7O\r\n"
    "a=ice-pwd:mKtje+no26FdIMPAaW+UPa\r\n";

TEST(SdpTest, ReadsANodeDataChannelOfferWithSessionLevelFingerprint) {
  const auto result = SdpParser::parse(kNodeDataChannelOffer);
  ASSERT_TRUE(result.description) << SdpParser::errorText(result.error);
  const SdpDescription& d = *result.description;
  ASSERT_EQ(d.fingerprints.size(), 1u);
  EXPECT_EQ(d.fingerprints[0].value.substr(0, 8), "49:75:02");
  EXPECT_EQ(d.iceUfrag, "ub7O");
  EXPECT_EQ(d.icePwd, "mKtje+no26FdIMPAaW+UPa");
  EXPECT_EQ(d.setup, SdpSetup::actpass);
  EXPECT_EQ(d.maxMessageSize, 262144u);
  EXPECT_TRUE(d.candidates.empty());
  const auto candidate =
      SdpParser::parseCandidate("a=candidate:1 1 UDP 2114977791 127.0.0.1 47089 typ host");
  ASSERT_TRUE(candidate);
  EXPECT_EQ(candidate->transport, "udp");
  EXPECT_EQ(candidate->port, 47089);
}

TEST(SdpTest, ReadsABrowserDataChannelOffer) {
  const auto result = SdpParser::parse(kBrowserOffer);
  ASSERT_TRUE(result.description) << SdpParser::errorText(result.error);
  const SdpDescription& d = *result.description;
  EXPECT_EQ(d.iceUfrag, "EsAw");
  EXPECT_EQ(d.icePwd, "bP+XJMM09aR8AiX1jdukzR6Y");
  ASSERT_EQ(d.fingerprints.size(), 1u);
  EXPECT_EQ(d.fingerprints[0].algorithm, "sha-256");
  EXPECT_EQ(d.fingerprints[0].value.substr(0, 8), "6B:8B:F0");
  EXPECT_EQ(d.setup, SdpSetup::actpass);
  EXPECT_EQ(d.mid, "0");
  EXPECT_EQ(d.sctpPort, 5000);
  EXPECT_EQ(d.maxMessageSize, 262144u);
  ASSERT_EQ(d.candidates.size(), 2u);
  EXPECT_EQ(d.candidates[0].address, "4b2f1a3c-1111-2222-3333-444455556666.local");
  EXPECT_EQ(d.candidates[1].type, "srflx");
  EXPECT_EQ(d.candidates[1].relatedAddress, "0.0.0.0");
  EXPECT_FALSE(d.endOfCandidates);
}

TEST(SdpTest, ReadsAnAiortcAnswerWithLegacySctpAttributesAndBareNewlines) {
  const auto result = SdpParser::parse(kAiortcAnswer);
  ASSERT_TRUE(result.description) << SdpParser::errorText(result.error);
  const SdpDescription& d = *result.description;
  EXPECT_EQ(d.setup, SdpSetup::active);
  EXPECT_EQ(d.sctpPort, 5000);
  EXPECT_FALSE(d.maxMessageSize.has_value());
  ASSERT_EQ(d.fingerprints.size(), 2u);
  EXPECT_EQ(d.fingerprints[1].value.substr(0, 5), "AA:BB");  // upper-cased for comparison
  EXPECT_TRUE(d.endOfCandidates);
  ASSERT_EQ(d.candidates.size(), 1u);
  EXPECT_EQ(d.candidates[0].port, 51000);
}

TEST(SdpTest, WrittenOfferReadsBackTheSame) {
  SdpDescription d;
  d.sessionId = "123";
  d.iceUfrag = "abcd";
  d.icePwd = "0123456789abcdefghijkl";
  d.fingerprints.push_back({"sha-256", "01:02:03"});
  d.mid = "0";
  d.maxMessageSize = 65536;
  d.candidates.push_back(
      *SdpParser::parseCandidate("candidate:1 1 udp 100 127.0.0.1 4000 typ host"));
  d.endOfCandidates = true;
  const std::string text = SdpWriter::write(d, SdpType::offer);
  EXPECT_NE(text.find("a=candidate:1 1 udp 100 127.0.0.1 4000 typ host\r\n"), std::string::npos);
  const auto back = SdpParser::parse(text);
  ASSERT_TRUE(back.description) << SdpParser::errorText(back.error);
  EXPECT_EQ(back.description->iceUfrag, d.iceUfrag);
  EXPECT_EQ(back.description->icePwd, d.icePwd);
  EXPECT_EQ(back.description->fingerprints[0].value, "01:02:03");
  EXPECT_EQ(back.description->maxMessageSize, 65536u);
  EXPECT_EQ(back.description->candidates.size(), 1u);
  EXPECT_TRUE(back.description->endOfCandidates);
  EXPECT_EQ(back.description->sessionId, "123");
}

TEST(SdpTest, RefusesDescriptionsItCannotConnectWith) {
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

TEST(SdpTest, OnlyTheFirstUsableApplicationSectionCounts) {
  std::string twoSections = kBrowserOffer;
  twoSections +=
      "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:second\r\n"
      "a=ice-ufrag:other\r\n";
  const auto result = SdpParser::parse(twoSections);
  ASSERT_TRUE(result.description);
  EXPECT_EQ(result.description->mid, "0");
  EXPECT_EQ(result.description->iceUfrag, "EsAw");
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
