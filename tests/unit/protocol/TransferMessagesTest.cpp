#include <gtest/gtest.h>

#include <string>

#include "peers/IceCandidate.hpp"
#include "peers/SessionDescription.hpp"
#include "protocol/TransferCandidateMessageReader.hpp"
#include "protocol/TransferDescriptionMessageReader.hpp"

namespace ombrelia {
namespace {

const std::string kIds =
    R"("type":"transfer","remotePeerID":"0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3",)"
    R"("askingPeerID":"5B1E2c3d-4E5F-4a7b-8C9D-AEBFC0D1E2F3")";

std::string description(const std::string& type, const std::string& sdp = "v=0") {
  return "{" + kIds + R"(,"description":{"type":")" + type + R"(","sdp":")" + sdp + R"("}})";
}

std::string candidate(const std::string& fields) {
  return "{" + kIds + R"(,"candidate":{)" + fields + "}}";
}

TEST(TransferDescriptionMessage, ConvertsToSessionDescription) {
  auto message = TransferDescriptionMessageReader().readJSON(description("answer"));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->askingPeerID().uuidString(), "5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
  EXPECT_EQ(SessionDescription(*message), SessionDescription("v=0", SdpType::answer));
  EXPECT_FALSE(TransferCandidateMessageReader().readJSON(description("answer")));
}

TEST(TransferMessages, BothReadersNeedTypeAndBothIdentifiers) {
  const std::string valid = description("offer");
  const std::pair<std::string, std::string> replacements[] = {
      {"type\":\"transfer", "type\":\"Transfer"},
      {"remotePeerID\":\"0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3",
       "remotePeerID\":\"0a1b2c3d4e5f6a7b8c9daebfc0d1e2f3"},
      {"askingPeerID\":\"5B1E2c3d-4E5F-4a7b-8C9D-AEBFC0D1E2F3\"", "askingPeerID\":null"},
      {"\"askingPeerID\":\"5B1E2c3d-4E5F-4a7b-8C9D-AEBFC0D1E2F3\",", ""},
      {"\"remotePeerID\":\"0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3\",", ""}};
  for (const auto& [from, to] : replacements) {
    std::string text = valid;
    text.replace(text.find(from), from.size(), to);
    EXPECT_FALSE(TransferDescriptionMessageReader().readJSON(text)) << text;
    std::string cand = candidate(R"("candidate":"c","sdpMLineIndex":0)");
    cand.replace(cand.find(from), from.size(), to);
    EXPECT_FALSE(TransferCandidateMessageReader().readJSON(cand)) << cand;
  }
  EXPECT_FALSE(TransferDescriptionMessageReader().readJSON("{" + kIds +
                                                           R"(,"description":{"type":"offer"}})"));
  EXPECT_FALSE(
      TransferDescriptionMessageReader().readJSON("{" + kIds + R"(,"description":"v=0"})"));
}

TEST(TransferMessages, AFrameWithBothObjectsSatisfiesBothReaders) {
  std::string both = "{" + kIds +
                     R"(,"extra":{"nested":[1]},"description":{"type":"answer","sdp":"s","x":1},)"
                     R"("candidate":{"candidate":"c","sdpMLineIndex":0,"y":2}})";
  auto description = TransferDescriptionMessageReader().readJSON(both);
  auto candidate = TransferCandidateMessageReader().readJSON(both);
  ASSERT_TRUE(description && candidate);
  EXPECT_EQ(SessionDescription(*description).sdp, "s");
  EXPECT_EQ(IceCandidate(*candidate).sdp, "c");
}

}  // namespace
}  // namespace ombrelia
