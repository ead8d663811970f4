#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "protocol/PlayerMetrics.hpp"

namespace ombrelia {
namespace {

constexpr MetricsContext kTvOnWifi{DeviceType::tvOS, NetworkType::wifi, false};
constexpr MetricsContext kUnclassified{DeviceType::unknown, NetworkType::unknown, false};

SegmentInfo video(double duration, std::optional<std::string> resolution = "1280x720",
                  int64_t bandwidth = 800'000, int64_t best = 800'000) {
  return SegmentInfo(SegmentType::video, bandwidth, best, std::move(resolution), 0, 1, duration);
}

TEST(MetricsUpdateRules, OriginFiguresAreTheLatestSegmentWhileBucketsAddUp) {
  PlayerMetrics record;
  record.updateMedia(2048, true, video(6.0), PeerType::unknown, kTvOnWifi);
  record.updateMedia(1024, true, video(6.9), PeerType::unknown, kTvOnWifi);
  EXPECT_EQ(record.MB_server, 1);
  EXPECT_EQ(record.sec_server, 6);
  EXPECT_EQ(record.tv.MB_server, 3);
  EXPECT_EQ(record.tv.sec_server, 12);
  EXPECT_EQ(record.wifi.MB_server, 3);
  EXPECT_EQ(record.wifi.sec_server, 12);
  EXPECT_EQ(record.phone.MB_server + record.tablet.MB_server + record.cellular.MB_server, 0);
  EXPECT_EQ(record.MB_peer, 0);
}

TEST(MetricsUpdateRules, BandwidthDecidesTheQualitySplitAndResolutionTheClass) {
  PlayerMetrics record;
  record.updateMedia(1024, true, video(6.0, "1920x1080", 400, 800), PeerType::unknown,
                     kUnclassified);
  EXPECT_EQ(record.otherQualities, 1);
  EXPECT_EQ(record.timeLQ, 6);
  EXPECT_EQ(record.bestQuality + record.timeHQ, 0);
  EXPECT_EQ(record.qualities.FullHD, 1);

  record.updateMedia(2048, true, video(6.0, std::nullopt), PeerType::unknown, kUnclassified);
  record.updateMedia(2048, true, video(6.0, "3840x2160"), PeerType::unknown, kUnclassified);
  record.updateMedia(2048, true, SegmentInfo(SegmentType::unknown, 1, 1, "1280x720", 0, 1, 6.0),
                     PeerType::unknown, kUnclassified);
  EXPECT_EQ(record.bestQuality, 6) << "every segment type counts in the split";
  EXPECT_EQ(record.timeHQ, 12) << "an unknown segment carries no seconds";
  const QualityMetrics& q = record.qualities;
  EXPECT_EQ(q.SD + q.HD + q.K2 + q.K4 + q.K8 + q.audio, 0)
      << "no class for a missing or unknown resolution, nor for an unknown segment";
  EXPECT_EQ(q.FullHD, 1);
}

TEST(MetricsUpdateRules, CountersStayAtTheirBoundInsteadOfWrapping) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  QualityMetrics qualities;
  qualities.update(kMax, QualityType::HD);
  qualities.update(kMax, QualityType::HD);
  EXPECT_EQ(qualities.HD, kMax);
  PlayerMetrics record;
  record.updateMedia(kMax, false, video(6.0), PeerType::ip, kTvOnWifi);
  for (int i = 0; i < 1100; ++i) {
    record.updateMedia(kMax, false, video(6.0), PeerType::ip, kTvOnWifi);
  }
  EXPECT_EQ(record.tv.MB_peer, kMax);
  EXPECT_EQ(record.bestQuality, kMax);
  EXPECT_EQ(record.MB_peer_ip, kMax / 1024);
}

}  // namespace
}  // namespace ombrelia
