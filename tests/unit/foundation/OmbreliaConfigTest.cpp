#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "protocol/FileAvailabilityRequestMessage.hpp"

using ombrelia::OmbreliaConfig;

// Each test runs in its own process, so the one instance starts unconfigured in every test.

TEST(OmbreliaConfigDeathTest, SharedBeforeConfigureStopsTheProcessWithTheFatalMessage) {
  EXPECT_DEATH(OmbreliaConfig::shared(), "❌ OmbreliaConfig not initialized\\. Call "
                                         "OmbreliaConfig\\.configure\\(ombreliaKey:\\) first\\.");
}

TEST(OmbreliaConfig, SecondConfigureWarnsOnceAndKeepsTheFirstKey) {
  OmbreliaConfig::configure("first");
  OmbreliaConfig::shared().setVideoID("video");
  testing::internal::CaptureStdout();
  OmbreliaConfig::configure("second");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "⚠️ OmbreliaConfig already configured. Ignoring.\n");
  EXPECT_EQ(OmbreliaConfig::shared().ombreliaKey(), "first");
  EXPECT_EQ(OmbreliaConfig::shared().videoID(), "video");
}

TEST(OmbreliaConfig, StartsWithTheDocumentedInitialValues) {
  OmbreliaConfig::configure("key");
  const auto& c = OmbreliaConfig::shared();
  EXPECT_EQ(c.ombreliaKey(), "key");
  EXPECT_EQ(c.videoID(), "");
  EXPECT_EQ(c.analyticsVideoID(), "");
  EXPECT_TRUE(c.activated());
  EXPECT_TRUE(c.p2pActivated());
  ASSERT_TRUE(c.currentLevel().has_value()) << "level 0 pins the lowest variant by default";
  EXPECT_EQ(*c.currentLevel(), 0);
  EXPECT_EQ(c.maxPreloadedSegments(), 0);
  EXPECT_DOUBLE_EQ(c.maxUploadPercent(), 0.5);
  EXPECT_EQ(c.tracker(), "");
  EXPECT_FALSE(c.checkUrls());
  EXPECT_EQ(c.ignoreTokenInUrls(), "");
  EXPECT_TRUE(c.sendingActivated());
  EXPECT_TRUE(c.cellularActivated());
  EXPECT_EQ(c.logLevel(), 0);
  EXPECT_FALSE(c.lowLatency());
  EXPECT_FALSE(c.p2pConfiguration().has_value());
  EXPECT_TRUE(c.collections().empty());
}

TEST(OmbreliaConfigConcurrency, ConcurrentReadersNeverSeeATornSetting) {
  OmbreliaConfig::configure("key");
  const std::string a(512, 'a');
  const std::string b(1024, 'b');
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string v = OmbreliaConfig::shared().videoID();
        const auto collections = OmbreliaConfig::shared().collections();
        if (!v.empty() && v != a && v != b)
          ++torn;
        if (!collections.empty() && collections.size() != 2)
          ++torn;
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    OmbreliaConfig::shared().setVideoID(i % 2 ? a : b);
    OmbreliaConfig::shared().setCollections(i % 2 ? std::vector<std::string>{a, b}
                                                  : std::vector<std::string>{b, a});
  }
  stop = true;
  for (auto& t : readers)
    t.join();
  EXPECT_EQ(torn.load(), 0);
}

// The upload share is sent to peers, times the segments a viewer holds, as a JSON number in every
// availability message: a share that is not finite, or so large that the product is not, would
// make every one of them fail to go out and leave the viewer without peer help.
TEST(OmbreliaConfig, MaxUploadPercentRefusesWhatIsNotFiniteAndKeepsWhatPeersAreSentFinite) {
  OmbreliaConfig::configure("key");
  ombrelia::OLoggerConfig::shared().setActiveLogLevel(ombrelia::OLogLevel::error);
  auto& c = OmbreliaConfig::shared();
  const auto setLogged = [&](double value) {
    testing::internal::CaptureStdout();
    c.setMaxUploadPercent(value);
    return testing::internal::GetCapturedStdout();
  };
  c.setMaxUploadPercent(0.25);
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e308, -1e308}) {
    const std::string out = setLogged(bad);
    EXPECT_TRUE(std::isfinite(c.maxUploadPercent()) && std::abs(c.maxUploadPercent()) <= 1e12)
        << bad;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("maxUploadPercent"), std::string::npos) << "the line names the setting";
    EXPECT_TRUE(ombrelia::FileAvailabilityRequestMessage(
                    std::string(ombrelia::FileAvailabilityRequestMessage::typeString),
                    ombrelia::Uuid::random(), "video", 0, 1, "v", 300 * c.maxUploadPercent())
                    .encode()
                    .ok())
        << bad << " still lets peers be sent a number";
  }
  EXPECT_EQ(c.maxUploadPercent(), -1e12);
  for (const double kept : {0.0, -1.0, 50.0}) {
    EXPECT_EQ(setLogged(kept), "");
    EXPECT_EQ(c.maxUploadPercent(), kept) << "an ordinary value is stored as set";
  }
}
