#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "analytics/AnalyticsService.hpp"

namespace ombrelia {
namespace {

SegmentInfo video(double duration, int64_t bandwidth = 800'000, int64_t best = 800'000) {
  return SegmentInfo(SegmentType::video, bandwidth, best, "1280x720", 0, 1, duration);
}

SegmentInfo audio(double duration) {
  return SegmentInfo(SegmentType::audio, 64'000, 64'000, std::nullopt, 0, 1, duration);
}

TEST(AnalyticsServiceTest, CountersStayExactUnderConcurrentCalls) {
  auto service = AnalyticsService::create("customer");
  constexpr int kThreads = 8;
  constexpr int kCalls = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        service->newHttpRequest();
        service->newP2PRequest();
        service->addError(t % 2 == 0 ? -1004 : -1001);
        service->addMediaDataReceived(1024, true, video(6.0), std::nullopt);
        service->addMediaDataReceived(2048, false, video(6.0), PeerType::city);
        service->segmentRequested(i % 2 == 0 ? "1280x720" : "1920x1080");
        service->setSegmentExtension(t % 2 == 0 ? "ts" : "m4s");
        service->httpSegmentStartDelay(12.5);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto metrics = service->metrics();
  constexpr int64_t kTotal = int64_t{kThreads} * kCalls;
  EXPECT_EQ(metrics.nReq_server, kTotal);
  EXPECT_EQ(metrics.nReq_p2p, kTotal);
  EXPECT_EQ(metrics.nReq, 2 * kTotal);
  EXPECT_EQ(metrics.HTTP_errors.at(-1004) + metrics.HTTP_errors.at(-1001), kTotal);
  EXPECT_EQ(metrics.bestQuality, 3 * kTotal);
  EXPECT_EQ(metrics.timeHQ, 12 * kTotal);
  EXPECT_EQ(service->getDataReceivedHTTP(), 1024 * kTotal);
  EXPECT_EQ(service->getDataReceivedP2P(), 2048 * kTotal);
  EXPECT_EQ(service->segmentDurations().size(), size_t(2 * kTotal));
  EXPECT_GT(metrics.nbrQualityChange, 0);
  EXPECT_TRUE(metrics.seg_ext == "ts" || metrics.seg_ext == "m4s");
}

TEST(AnalyticsServiceTest, QualityChangesCountFromTheSecondDistinctQuality) {
  auto service = AnalyticsService::create("customer");
  for (const char* quality : {"1280x720", "1280x720", "1920x1080", "1280x720"}) {
    service->segmentRequested(quality);
  }
  EXPECT_EQ(service->metrics().nbrQualityChange, 2);
}

TEST(AnalyticsServiceTest, ErrorsAreCountedPerCode) {
  auto service = AnalyticsService::create("customer");
  service->addError(-1004);
  service->addError(-1004);
  service->addError(-1001);
  EXPECT_EQ(service->metrics().HTTP_errors, (std::map<int64_t, int64_t>{{-1004, 2}, {-1001, 1}}));
}

TEST(AnalyticsServiceTest, MediaCountsKibibytesAndWholeSecondsOfVideo) {
  auto service = AnalyticsService::create("customer");
  service->addMediaDataReceived(1023, true, video(5.999), std::nullopt);
  auto metrics = service->metrics();
  EXPECT_EQ(metrics.MB_server, 0) << "1023 bytes are 0 KiB";
  EXPECT_EQ(metrics.sec_server, 5);

  service->addMediaDataReceived(2048, true, audio(6.0), std::nullopt);
  metrics = service->metrics();
  EXPECT_EQ(metrics.MB_server, 2) << "set to the latest segment, not added";
  EXPECT_EQ(metrics.sec_server, 0) << "audio carries no media seconds";

  service->addMediaDataReceived(4096, false, video(6.0, 400'000, 800'000), PeerType::region);
  service->addMediaDataReceived(3072, false, video(4.0, 400'000, 800'000), std::nullopt);
  metrics = service->metrics();
  EXPECT_EQ(metrics.MB_peer, 3);
  EXPECT_EQ(metrics.sec_peer, 4);
  EXPECT_EQ(metrics.MB_peer_region, 4) << "an unknown peer leaves the proximity fields alone";
  EXPECT_EQ(metrics.MB_peer_ip + metrics.MB_peer_city + metrics.MB_peer_country, 0);
  EXPECT_EQ(metrics.bestQuality, 2);
  EXPECT_EQ(metrics.timeHQ, 5);
  EXPECT_EQ(metrics.otherQualities, 7);
  EXPECT_EQ(metrics.timeLQ, 10);
  EXPECT_EQ(service->getDataReceivedHTTP(), 1023 + 2048);
  EXPECT_EQ(service->getDataReceivedP2P(), 4096 + 3072);
  EXPECT_EQ(service->segmentDurations(), (std::vector<double>{5.999, 6.0, 6.0, 4.0}));
}

TEST(AnalyticsServiceTest, PlaylistBytesCountAsManifestAndOriginBytes) {
  auto service = AnalyticsService::create("customer");
  service->addManifestDataReceived(5000);
  service->addManifestDataReceived(3000);
  EXPECT_EQ(service->metrics().B_manifest, 2);
  EXPECT_EQ(service->getDataReceivedHTTP(), 8000);
}

TEST(AnalyticsServiceTest, AbsurdCountsAndDurationsNeitherWrapNorStopTheProcess) {
  auto service = AnalyticsService::create("customer");
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  service->addManifestDataReceived(kMax);
  service->addManifestDataReceived(kMax);
  EXPECT_EQ(service->getDataReceivedHTTP(), kMax);
  service->addMediaDataReceived(1024, true, video(std::nan("")), std::nullopt);
  service->addMediaDataReceived(1024, true, video(1e300), std::nullopt);
  EXPECT_EQ(service->metrics().sec_server, 0);
}

}  // namespace
}  // namespace ombrelia
