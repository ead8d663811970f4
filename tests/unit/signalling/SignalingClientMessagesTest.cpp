#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ombrelia/OLoggerConfig.hpp>

#include "platform/NotificationCenter.hpp"
#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"
#include "signalling/SignalingClient.hpp"
#include "support/RecordingWebSocket.hpp"

namespace ombrelia {
namespace {

class SignalingClientMessages : public ::testing::Test {
 protected:
  std::shared_ptr<test::RecordingWebSocket> provider = std::make_shared<test::RecordingWebSocket>();
  std::shared_ptr<SignalingClient> client = SignalingClient::create(provider);
  const Uuid peer = *Uuid::parse("5B1E2C3D-4E5F-4A7B-8C9D-AEBFC0D1E2F3");
};

TEST_F(SignalingClientMessages, WritesEachSignallingMessageExactly) {
  client->sendInit("video-1", "", "client-9");
  client->sendGroupRequest(800000, 2, 41);
  client->sendConnectionRequestDescription(peer, "v=0\r\n", SdpType::offer);
  client->sendConnectionRequestCandidate(peer, "candidate:1 1 UDP 1 127.0.0.1 9 typ host", "1", 0);
  client->sendConnectionRequestCandidate(peer, "c", std::nullopt, 3);
  client->sendLeaveGroup();
  EXPECT_EQ(
      provider->sent(),
      (std::vector<std::string>{
          R"({"type":"init","videoID":"video-1","pubKey":"","clientID":"client-9","sdk":"ios"})",
          R"({"type":"groupRequest","groupRequest":{"bitrate":800000,"targetQuality":2,"currentSegmentNumber":41}})",
          R"({"type":"transfer","remotePeerID":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","description":{"type":"offer","sdp":"v=0\r\n"}})",
          R"({"type":"transfer","remotePeerID":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","candidate":{"candidate":"candidate:1 1 UDP 1 127.0.0.1 9 typ host","sdpMLineIndex":0,"sdpMid":"1","usernameFragment":""}})",
          // A candidate without a mid carries the string "0".
          R"({"type":"transfer","remotePeerID":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","candidate":{"candidate":"c","sdpMLineIndex":3,"sdpMid":"0","usernameFragment":""}})",
          R"({"type":"leaveGroup"})"}));
}

TEST_F(SignalingClientMessages, TextThatIsNotUtf8IsLoggedAndNotSent) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  client->sendInit("video\xff", "", "client");
  client->sendConnectionRequestDescription(peer, "\xc3", SdpType::answer);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(provider->sent().empty());
  EXPECT_NE(out.find("[Ombrelia] [Error] [SignalClient] Error converting dictionary to data: "),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("bytes"), std::string::npos) << out;
}

TEST_F(SignalingClientMessages, AnalyticsNotificationsSendTheirOwnEnvelopesOnly) {
  auto initMetrics = std::make_shared<InitMetrics>();
  initMetrics->setNew_client_uuid("5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3");
  AnalyticsInitMessage init("key-1", initMetrics);
  auto metrics = std::make_shared<PlayerMetrics>();
  metrics->latency = 1.5;
  auto periodic = std::make_shared<const AnalyticsMessage>("key-1", metrics);
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post("AnalyticsMessage", init);
  center.post("AnalyticsInitMessage", *periodic);
  center.post("AnalyticsMessage");
  EXPECT_TRUE(provider->analytics().empty());
  center.post("AnalyticsInitMessage", init);
  center.post("AnalyticsMessage", periodic);
  EXPECT_EQ(
      provider->analytics(),
      (std::vector<std::string>{
          R"({"type":"analytics","key":"key-1","data":{"timestamp":"","video_id":"","collection":"","new_client_uuid":"5b1e2c3d-4e5f-4a7b-8c9d-aebfc0d1e2f3","new_client_number":1}})",
          *periodic->encode().text}));
  EXPECT_EQ(provider->analytics()[1].rfind(
                R"({"type":"analytics","key":"key-1","data":{"latency":1.5,)", 0),
            0u);
  EXPECT_TRUE(provider->sent().empty());
}

TEST_F(SignalingClientMessages, NothingIsSentOnceTheClientIsGone) {
  client.reset();
  platform::NotificationCenter::defaultCenter().post("LeaveGroup", true);
  EXPECT_TRUE(provider->sent().empty());
}

}  // namespace
}  // namespace ombrelia
