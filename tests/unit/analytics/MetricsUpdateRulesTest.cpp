#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "analytics/PlayerMetrics.hpp"

namespace ombrelia {
namespace {

constexpr MetricsContext kTvOnWifi{DeviceType::tvOS, NetworkType::wifi, false};
constexpr MetricsContext kTvOnWifiWithPeer{DeviceType::tvOS, NetworkType::wifi, true};
constexpr MetricsContext kUnclassified{DeviceType::unknown, NetworkType::unknown, false};

SegmentInfo video(double duration, std::optional<std::string> resolution = "1280x720",
                  int64_t bandwidth = 800'000, int64_t best = 800'000) {
  return SegmentInfo(SegmentType::video, bandwidth, best, std::move(resolution), 0, 1, duration);
}

SegmentInfo audio(int64_t bandwidth = 64'000, int64_t best = 64'000) {
  return SegmentInfo(SegmentType::audio, bandwidth, best, std::nullopt, 0, 1, 6.0);
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

TEST(MetricsUpdateRules, PeerSegmentsSetOnlyTheirOwnProximityField) {
  PlayerMetrics record;
  record.updateMedia(3 * 1024, false, video(6.0), PeerType::city, kTvOnWifi);
  record.updateMedia(1024, false, video(6.0), PeerType::ip, kTvOnWifi);
  record.updateMedia(5 * 1024, false, video(4.0), PeerType::unknown, kTvOnWifi);
  EXPECT_EQ(record.MB_peer, 5);
  EXPECT_EQ(record.sec_peer, 4);
  EXPECT_EQ(record.MB_peer_city, 3);
  EXPECT_EQ(record.MB_peer_ip, 1);
  EXPECT_EQ(record.MB_peer_region + record.MB_peer_country, 0);
  EXPECT_EQ(record.tv.MB_peer, 9) << "an unknown peer still feeds the buckets";
  EXPECT_EQ(record.tv.sec_peer, 16);
  EXPECT_EQ(record.wifi.MB_peer, 9);

  record.updateMedia(2048, true, video(6.0), PeerType::unknown, kTvOnWifi);
  EXPECT_EQ(record.MB_peer, 5) << "an origin segment leaves the peer figures alone";
  EXPECT_EQ(record.MB_peer_city, 3);
  EXPECT_EQ(record.MB_server, 2);
}

TEST(MetricsUpdateRules, KibibytesAndMediaSecondsTruncateTowardZero) {
  PlayerMetrics record;
  record.updateMedia(1023, true, video(5.999), PeerType::unknown, kUnclassified);
  EXPECT_EQ(record.MB_server, 0);
  EXPECT_EQ(record.sec_server, 5);
  record.updateMedia(1024, true, video(0.4), PeerType::unknown, kUnclassified);
  EXPECT_EQ(record.MB_server, 1);
  EXPECT_EQ(record.sec_server, 0);
  for (double absurd : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -6.0}) {
    record.updateMedia(1024, true, video(absurd), PeerType::unknown, kUnclassified);
    EXPECT_EQ(record.sec_server, 0) << absurd;
  }
  EXPECT_EQ(PlayerMetrics::toKB(-1025), -1) << "truncation, not flooring";
}

TEST(MetricsUpdateRules, AudioAfterVideoCountsItsBytesButNoSeconds) {
  PlayerMetrics record;
  record.updateMedia(4096, true, video(6.0, "1280x720"), PeerType::unknown, kUnclassified);
  record.updateMedia(2048, true, audio(), PeerType::unknown, kUnclassified);
  EXPECT_EQ(record.sec_server, 0);
  EXPECT_EQ(record.MB_server, 2);
  EXPECT_EQ(record.qualities.HD, 4);
  EXPECT_EQ(record.qualities.audio, 2);
  EXPECT_EQ(record.bestQuality, 6);
  EXPECT_EQ(record.timeHQ, 6);
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

TEST(MetricsUpdateRules, UnclassifiedDeviceAndNetworkTouchNoBucket) {
  PlayerMetrics record;
  record.updateMedia(4096, false, video(6.0), PeerType::region, kUnclassified);
  PlayerMetrics fresh;
  for (auto [a, b] : {std::pair{&record.phone, &fresh.phone},
                      {&record.tablet, &fresh.tablet},
                      {&record.tv, &fresh.tv},
                      {&record.desktop, &fresh.desktop},
                      {&record.wifi, &fresh.wifi},
                      {&record.cellular, &fresh.cellular}}) {
    EXPECT_EQ(a->toJSON(), b->toJSON());
  }
  record.updateMedia(4096, false, video(6.0), PeerType::region,
                     {DeviceType::iPhone, NetworkType::cellular, false});
  EXPECT_EQ(record.phone.MB_peer, 4);
  EXPECT_EQ(record.cellular.sec_peer, 6);
  EXPECT_EQ(record.desktop.MB_peer, 0) << "no device class selects desktop";
  EXPECT_EQ(record.represented_client, 1);
}

TEST(MetricsUpdateRules, ConnectedRecordCountsOnlyWhileAPeerIsConnected) {
  PlayerMetrics record;
  record.updateMedia(8192, true, video(6.0), PeerType::unknown, kTvOnWifi);
  EXPECT_EQ(record.connected.toJSON(), ConnectedMetrics().toJSON());

  record.updateMedia(2048, false, video(6.0), PeerType::country, kTvOnWifiWithPeer);
  record.updateMedia(1024, false, video(6.0), PeerType::city, kTvOnWifiWithPeer);
  const ConnectedMetrics& connected = record.connected;
  EXPECT_EQ(connected.MB_peer, 1);
  EXPECT_EQ(connected.MB_peer_country, 2);
  EXPECT_EQ(connected.MB_peer_city, 1);
  EXPECT_EQ(connected.MB_server, 0);
  EXPECT_EQ(connected.tv.MB_peer, 3);
  EXPECT_EQ(connected.wifi.sec_peer, 12);
  EXPECT_EQ(connected.bestQuality, 3);
  EXPECT_EQ(connected.qualities.HD, 3);
  EXPECT_EQ(record.tv.MB_peer, 3);
  EXPECT_EQ(record.tv.MB_server, 8) << "the periodic record counted every segment";
}

TEST(MetricsUpdateRules, MirrorsCopyTheWholeValueOnlyWhileConnected) {
  PlayerMetrics record;
  record.setNbrStalls(3, false);
  EXPECT_EQ(record.connected.nbrStalls, 0);
  record.setNbrStalls(4, true);
  EXPECT_EQ(record.connected.nbrStalls, 4);
  record.setNbrStalls(5, false);
  EXPECT_EQ(record.connected.nbrStalls, 4) << "keeps the last value copied";
  record.setCurrent_buffer(7.5, true);
  record.setIsStalled(1, true);
  record.setNbrQualityChange(2, true);
  EXPECT_EQ(record.connected.current_buffer, 7.5);
  EXPECT_EQ(record.connected.isStalled, 1);
  EXPECT_EQ(record.connected.nbrQualityChange, 2);
  EXPECT_EQ(record.nbrStalls(), 5);
}

TEST(MetricsUpdateRules, DelaysAreSetOverallAndForTheProximityClass) {
  PlayerMetrics record;
  record.updatep2pSegmentStartDelay(120.5, PeerType::region);
  record.updatep2pSegmentStartDelay(80.0, PeerType::unknown);
  EXPECT_EQ(record.ttfb_peer, 80.0);
  EXPECT_EQ(record.ttfb_peer_region, 120.5);
  EXPECT_EQ(record.ttfb_peer_ip + record.ttfb_peer_city + record.ttfb_peer_country, 0.0);
  record.updateManifest(5000);
  record.updateManifest(3000);
  EXPECT_EQ(record.B_manifest, 2) << "the latest playlist, in kibibytes";
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
