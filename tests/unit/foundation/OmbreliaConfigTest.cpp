#include <ombrelia/OmbreliaConfig.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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
