// The manifest store: segment identity from whole resolved URLs, followers, bounded storage and
// cleaning.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "platform/url/UrlReference.hpp"
#include "store/ManifestController.hpp"
#include "support/HeapGauge.hpp"
#include "support/PlaylistFixtures.hpp"

namespace ombrelia {
namespace {

using test::PlaylistFixtures;

Url url(std::string_view text) { return *Url::parse(text); }

std::string mediaPlaylist(int64_t sequence, const std::vector<std::string>& uris,
                          bool withSequence = true) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n";
  if (withSequence) text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(sequence) + "\n";
  for (const auto& uri : uris) text += "#EXTINF:6.000,\n" + uri + "\n";
  return text;
}

class ManifestControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("test-key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(0);
  }

  void store(const std::string& text, std::string_view at,
             std::optional<std::string_view> finalAt = std::nullopt) {
    std::optional<Url> finalUrl;
    if (finalAt) finalUrl = url(*finalAt);
    store_.storeManifest(Data(text), url(at), finalUrl);
  }
  std::vector<SegmentInfo> lookup(std::string_view at) const {
    return store_.getSegmentInfo(url(at));
  }
  void storeFfmpegStream(std::string_view kind, const std::vector<std::string>& variants) {
    const std::string base = "http://origin.test/stream/";
    auto read = [&](const std::string& path) {
      return PlaylistFixtures::read(std::string(kind) + "/" + path);
    };
    store(read("master.m3u8"), base + "master.m3u8");
    for (const auto& variant : variants)
      store(read(variant + "/index.m3u8"), base + variant + "/index.m3u8");
  }

  ManifestController store_;
};

TEST_F(ManifestControllerTest, VariantsWithSameRelativeNamesStayApart) {
  storeFfmpegStream("ts", {"v0", "v1", "v2"});
  // Bandwidths: v0 880000, v1 440000, v2 220000, so v2 ranks 0 and v0 ranks 2.
  auto middle = lookup("http://origin.test/stream/v1/seg2.ts");
  ASSERT_EQ(middle.size(), 1u);
  EXPECT_EQ(middle[0].type(), SegmentType::video);
  EXPECT_EQ(middle[0].targetQuality(), 1);
  EXPECT_EQ(middle[0].bestBandwidth(), 880000);
  EXPECT_EQ(middle[0].segmentNumber(), 2);

  auto top = lookup("http://origin.test/stream/v0/seg2.ts");
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].targetQuality(), 2);
  EXPECT_EQ(lookup("http://origin.test/stream/seg2.ts").size(), 0u);
  EXPECT_EQ(store_.resolutions(), (std::vector<std::string>{"320x180", "480x270", "640x360"}));
}

TEST_F(ManifestControllerTest, UrlsCompareWhole) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlive/index.m3u8\n",
        "http://origin.test/master.m3u8");
  store(mediaPlaylist(0, {"1.ts", "11.ts", "x1.ts?token=a"}), "http://origin.test/live/index.m3u8");
  ASSERT_EQ(lookup("http://origin.test/live/11.ts").size(), 1u);
  EXPECT_EQ(lookup("http://origin.test/live/11.ts")[0].segmentNumber(), 1);
  EXPECT_EQ(lookup("http://origin.test/live/1.ts")[0].segmentNumber(), 0);
  EXPECT_EQ(lookup("http://origin.test/live/21.ts").size(), 0u);
  EXPECT_EQ(lookup("http://origin.test/live/x1.ts").size(), 0u);
  EXPECT_EQ(lookup("http://origin.test/live/x1.ts?token=b").size(), 0u);
  // Scheme and host case, the default port and dot segments do not change a URL's identity.
  EXPECT_EQ(lookup("HTTP://Origin.TEST:80/live/./x1.ts?token=a").size(), 1u);
  EXPECT_EQ(lookup("https://origin.test/live/1.ts").size(), 0u);
}

// The proxy reads the origin URL back out of the player's local URL with the reader the store
// resolves with: a segment written in any form a browser reads is found under what it reads.
TEST_F(ManifestControllerTest, SegmentsAreKnownByTheUrlABrowserReadsThemAs) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlive/index.m3u8\n",
        "http://origin.test/master.m3u8");
  store(mediaPlaylist(0, {"seg_12:00:00.ts", "http:b.ts", "HTTP://ORIGIN.test:080/live/c.ts?{}"}),
        "http://origin.test/live/index.m3u8");
  auto lookupAsRead = [this](std::string_view text) {
    return store_.getSegmentInfo(UrlReference::read(text).value());
  };
  EXPECT_EQ(lookupAsRead("http://origin.test/live/seg_12:00:00.ts").size(), 1u);
  EXPECT_EQ(lookupAsRead("http://origin.test/live/b.ts").size(), 1u);
  ASSERT_EQ(lookupAsRead("http://origin.test/live/c.ts?{}").size(), 1u);
  EXPECT_EQ(lookupAsRead("http://origin.test/live/c.ts?{}")[0].segmentNumber(), 2);
}

TEST_F(ManifestControllerTest, SegmentsResolveAgainstTheFinalUrlOfTheirFetch) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv/index.m3u8\n", "http://origin.test/master.m3u8",
        "http://edge.test/x/master.m3u8");
  // The variant resolves against where the master came from; the media playlist is known by the
  // URL it was requested from and its segments by where it was finally served.
  store(mediaPlaylist(0, {"s.ts"}), "http://edge.test/x/v/index.m3u8",
        "http://cache.test/y/index.m3u8");
  EXPECT_EQ(lookup("http://cache.test/y/s.ts").size(), 1u);
  EXPECT_EQ(lookup("http://edge.test/x/v/s.ts").size(), 0u);
}

TEST_F(ManifestControllerTest, ParentDirectoryUrisResolveAgainstTheirPlaylist) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n../video/a/index.m3u8\n",
        "http://origin.test/hls/master/main.m3u8");
  store(mediaPlaylist(5, {"../../seg/1.ts", "/abs/2.ts", "http://cdn.test/3.ts"}),
        "http://origin.test/hls/video/a/index.m3u8");
  EXPECT_EQ(lookup("http://origin.test/hls/seg/1.ts").at(0).segmentNumber(), 5);
  EXPECT_EQ(lookup("http://origin.test/seg/1.ts").size(), 0u);
  EXPECT_EQ(lookup("http://origin.test/abs/2.ts").at(0).segmentNumber(), 6);
  EXPECT_EQ(lookup("http://cdn.test/3.ts").at(0).segmentNumber(), 7);
}

TEST_F(ManifestControllerTest, AudioRenditionRanksAmongAllRenditions) {
  store(
      "#EXTM3U\n"
      "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"en\",URI=\"subs/en.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"fr\",URI=\"subs/fr.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"audio/en.m3u8\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=900,RESOLUTION=640x360,AUDIO=\"a\"\nvideo.m3u8\n",
      "http://origin.test/master.m3u8");
  store(mediaPlaylist(3, {"a0.aac", "a1.aac"}), "http://origin.test/audio/en.m3u8");
  store(mediaPlaylist(3, {"s0.vtt"}), "http://origin.test/subs/en.m3u8");
  auto audio = lookup("http://origin.test/audio/a1.aac");
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].type(), SegmentType::audio);
  EXPECT_EQ(audio[0].targetQuality(), 2);
  EXPECT_EQ(audio[0].bandwidth(), 0);
  EXPECT_EQ(audio[0].bestBandwidth(), 900);
  EXPECT_FALSE(audio[0].resolution());
  EXPECT_EQ(audio[0].segmentNumber(), 4);
  EXPECT_EQ(lookup("http://origin.test/subs/s0.vtt").size(), 0u);
}

TEST_F(ManifestControllerTest, FollowersUpToMaxPreloadedSegments) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n", "http://o.test/master.m3u8");
  store(mediaPlaylist(100, {"a.ts", "b.ts", "c.ts", "d.ts"}), "http://o.test/m.m3u8");
  EXPECT_EQ(lookup("http://o.test/b.ts").size(), 1u);
  OmbreliaConfig::shared().setMaxPreloadedSegments(3);
  auto nearEnd = lookup("http://o.test/c.ts");
  ASSERT_EQ(nearEnd.size(), 2u);
  EXPECT_EQ(nearEnd[0].segmentNumber(), 102);
  EXPECT_EQ(nearEnd[1].segmentNumber(), 103);
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 4u);
  OmbreliaConfig::shared().setMaxPreloadedSegments(-5);
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 1u);
}

TEST_F(ManifestControllerTest, MediaSequenceIsRequiredAndNeverOverflows) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=2\nn.m3u8\n",
        "http://o.test/master.m3u8");
  store(mediaPlaylist(0, {"a.ts"}, /*withSequence=*/false), "http://o.test/m.m3u8");
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 0u);
  OmbreliaConfig::shared().setMaxPreloadedSegments(2);
  store(mediaPlaylist(std::numeric_limits<int64_t>::max(), {"x.ts", "y.ts"}),
        "http://o.test/n.m3u8");
  auto last = lookup("http://o.test/x.ts");
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].segmentNumber(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(lookup("http://o.test/y.ts").size(), 0u);
}

TEST_F(ManifestControllerTest, ByteRangeSegmentsGetNoIdentity) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n", "http://o.test/master.m3u8");
  // ffmpeg writes the byte range (and the program date time) between "#EXTINF" and the URI.
  store(
      "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
      "#EXTINF:2,\n#EXT-X-BYTERANGE:100@0\n#EXT-X-PROGRAM-DATE-TIME:2026-01-01T00:00:00Z\nall.ts\n"
      "#EXTINF:2,\n#EXT-X-BYTERANGE:100@100\nall.ts\n"
      "#EXTINF:2,\nranged.ts\n#EXTINF:2,\nranged.ts\n#EXTINF:2,\nsingle.ts\n",
      "http://o.test/m.m3u8");
  EXPECT_EQ(lookup("http://o.test/all.ts").size(), 0u);
  EXPECT_EQ(lookup("http://o.test/ranged.ts").size(), 0u);
  OmbreliaConfig::shared().setMaxPreloadedSegments(3);
  EXPECT_EQ(lookup("http://o.test/ranged.ts").size(), 0u);
  EXPECT_EQ(lookup("http://o.test/single.ts").at(0).segmentNumber(), 4);
}

TEST_F(ManifestControllerTest, NewestPlaylistHoldingTheSegmentDecides) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=2\nn.m3u8\n",
        "http://o.test/master.m3u8");
  store(mediaPlaylist(10, {"shared.ts"}), "http://o.test/m.m3u8");
  store(mediaPlaylist(20, {"shared.ts"}), "http://o.test/n.m3u8");
  EXPECT_EQ(lookup("http://o.test/shared.ts").at(0).segmentNumber(), 20);
  store(mediaPlaylist(30, {"shared.ts"}), "http://o.test/m.m3u8");
  EXPECT_EQ(lookup("http://o.test/shared.ts").at(0).segmentNumber(), 30);
  EXPECT_EQ(lookup("http://o.test/shared.ts").at(0).targetQuality(), 0);
  ASSERT_EQ(store_.versions().size(), 2u);
  EXPECT_EQ(store_.versions().back().url(), url("http://o.test/m.m3u8"));
}

TEST_F(ManifestControllerTest, LiveReloadsKeepOneEntryPerPlaylist) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlive.m3u8\n", "http://o.test/master.m3u8");
  store(mediaPlaylist(0, {"a.ts", "b.ts", "c.ts"}), "http://o.test/other.m3u8");
  for (int reload = 0; reload < 1000; ++reload) {
    std::vector<std::string> window;
    for (int i = reload; i < reload + 5; ++i) window.push_back("s" + std::to_string(i) + ".ts");
    store(mediaPlaylist(reload, window), "http://o.test/live.m3u8");
  }
  EXPECT_EQ(store_.versions().size(), 2u);
  EXPECT_EQ(store_.lastManifestSegments(), 5);
  EXPECT_EQ(lookup("http://o.test/s1003.ts").at(0).segmentNumber(), 1003);
  EXPECT_EQ(lookup("http://o.test/s990.ts").size(), 0u);
}

// Switching videos: the application calls cleanup() while the previous player still reloads its
// media playlist, and that reload comes before the next video's master. The master takes the
// primary's place, and the old reloads sit among the versions without harm.
TEST_F(ManifestControllerTest, TheNextVideosMasterReplacesTheOldPlayersReload) {
  const std::string masterOf = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\n";
  store(masterOf + "a.m3u8\n", "http://o.test/a/master.m3u8");
  store(mediaPlaylist(0, {"a0.ts", "a1.ts"}), "http://o.test/a/a.m3u8");
  ASSERT_EQ(lookup("http://o.test/a/a1.ts").size(), 1u);

  store_.cleanup();
  store(mediaPlaylist(1, {"a1.ts", "a2.ts"}), "http://o.test/a/a.m3u8");
  store(
      "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=5,RESOLUTION=1280x720\nb.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=2,RESOLUTION=320x180\nlow.m3u8\n",
      "http://o.test/b/master.m3u8");
  store(mediaPlaylist(40, {"b0.ts", "b1.ts"}), "http://o.test/b/b.m3u8");
  store(mediaPlaylist(2, {"a2.ts", "a3.ts"}), "http://o.test/a/a.m3u8");
  ASSERT_TRUE(store_.primaryManifest());
  EXPECT_EQ(store_.primaryManifest()->url(), url("http://o.test/b/master.m3u8"));
  const auto b1 = lookup("http://o.test/b/b1.ts");
  ASSERT_EQ(b1.size(), 1u) << "the next video's segments have no identity";
  EXPECT_EQ(b1[0].segmentNumber(), 41);
  EXPECT_EQ(b1[0].targetQuality(), 1);
  EXPECT_EQ(store_.resolutions(), (std::vector<std::string>{"320x180", "1280x720"}));
  EXPECT_EQ(lookup("http://o.test/a/a3.ts").size(), 0u) << "the old video is not the new one's";

  // A later master, of either video, is a version: the primary names variants already.
  store(masterOf + "a.m3u8\n", "http://o.test/a/master.m3u8");
  EXPECT_EQ(store_.primaryManifest()->url(), url("http://o.test/b/master.m3u8"));
  EXPECT_EQ(lookup("http://o.test/b/b1.ts").size(), 1u);
}

// The previous player's master, asked before cleanup() and delivered after it, is answered but
// not stored: it would take the next video's place, leaving its segments without identity. An
// identity is only given in the generation it is asked for.
TEST_F(ManifestControllerTest, APlaylistFetchedBeforeCleanupIsNotStoredAfterIt) {
  const std::string masterOf = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360\n";
  const uint64_t before = store_.generation();
  store_.cleanup();
  const uint64_t next = store_.generation();
  EXPECT_NE(next, before);
  EXPECT_EQ(store_.storeManifest(Data(masterOf + "a.m3u8\n"), url("http://o.test/a/master.m3u8"),
                                 std::nullopt, before),
            ManifestController::Stored::stale);
  EXPECT_FALSE(store_.primaryManifest());
  EXPECT_EQ(store_.storeManifest(Data(masterOf + "b.m3u8\n"), url("http://o.test/b/master.m3u8"),
                                 std::nullopt, next),
            ManifestController::Stored::yes);
  store(mediaPlaylist(3, {"b3.ts"}), "http://o.test/b/b.m3u8");
  EXPECT_EQ(store_.getSegmentInfo(url("http://o.test/b/b3.ts"), next).size(), 1u);
  EXPECT_EQ(store_.getSegmentInfo(url("http://o.test/b/b3.ts"), before).size(), 0u)
      << "a segment of this generation took an identity for the previous one";
}

// A viewer restarted while its player keeps running: the first playlist it stores is a reload of
// the media playlist; once the player asks for the master again, its segments are known. A
// stream with no master keeps its first playlist as the primary, and a variant line that reads
// as no variant takes no primary's place.
TEST_F(ManifestControllerTest, AMasterAfterAMediaPlaylistStoredFirstBecomesThePrimary) {
  store_.cleanup();
  store(mediaPlaylist(7, {"s7.ts", "s8.ts"}), "http://o.test/live/v.m3u8");
  EXPECT_EQ(lookup("http://o.test/live/s8.ts").size(), 0u);
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n", "http://o.test/live/master.m3u8");
  store(mediaPlaylist(8, {"s8.ts", "s9.ts"}), "http://o.test/live/v.m3u8");
  const auto s9 = lookup("http://o.test/live/s9.ts");
  ASSERT_EQ(s9.size(), 1u) << "the restarted viewer never knows a segment";
  EXPECT_EQ(s9[0].segmentNumber(), 9);
  EXPECT_EQ(store_.versions().size(), 1u);

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  store_.cleanup();
  store(mediaPlaylist(0, {"x0.ts"}), "http://o.test/only/x.m3u8");
  store(mediaPlaylist(1, {"x1.ts"}), "http://o.test/only/x.m3u8");
  store(mediaPlaylist(0, {"y0.ts"}), "http://o.test/only/y.m3u8");
  store("#EXTM3U\n#EXT-X-STREAM-INF:RESOLUTION=1x1\nbroken.m3u8\n", "http://o.test/only/m.m3u8");
  ASSERT_TRUE(store_.primaryManifest());
  EXPECT_EQ(store_.primaryManifest()->url(), url("http://o.test/only/x.m3u8"));
  EXPECT_NE(store_.primaryManifest()->data().toString().find("x1.ts"), std::string::npos);
  EXPECT_EQ(store_.versions().size(), 2u);
  EXPECT_EQ(lookup("http://o.test/only/x1.ts").size(), 0u);
}

TEST_F(ManifestControllerTest, StoredPlaylistsAreCapped) {
  ManifestController small(ManifestController::Settings{3});
  small.storeManifest(Data(std::string("#EXTM3U\n")), url("http://o.test/master.m3u8"));
  for (int i = 0; i < 10; ++i) {
    small.storeManifest(Data(mediaPlaylist(0, {"a.ts"})),
                        url("http://o.test/" + std::to_string(i) + ".m3u8"));
  }
  const auto versions = small.versions();
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions.front().url(), url("http://o.test/7.m3u8"));
  EXPECT_EQ(versions.back().url(), url("http://o.test/9.m3u8"));
  EXPECT_TRUE(small.primaryManifest());
}

TEST_F(ManifestControllerTest, StoredPlaylistsStayWithinTheirByteBudgetAndTheNewestAlwaysStays) {
  constexpr size_t kBudget = 64 * 1024;
  ManifestController store(ManifestController::Settings{64, kBudget});
  store.storeManifest(Data(std::string("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n0.m3u8\n")),
                      url("http://o.test/master.m3u8"));
  auto playlist = [](int n, int segments) {
    std::vector<std::string> uris;
    for (int i = 0; i < segments; ++i)
      uris.push_back("segment-with-a-long-name-" + std::to_string(n) + "-" + std::to_string(i) +
                     ".ts");
    return mediaPlaylist(0, uris);
  };
  for (int n = 0; n < 40; ++n) {
    store.storeManifest(Data(playlist(n, 100)),
                        url("http://o.test/" + std::to_string(n) + ".m3u8"));
  }
  const auto versions = store.versions();
  size_t bytes = 0;
  for (const auto& version : versions) bytes += version.data().size();
  EXPECT_LE(bytes, kBudget) << "the text alone stays within the budget";
  EXPECT_LT(versions.size(), 40u) << "the oldest went";
  EXPECT_EQ(versions.back().url(), url("http://o.test/39.m3u8"));
  EXPECT_TRUE(store.primaryManifest());

  // One playlist larger than the whole budget is not stored, and what was stored stays.
  EXPECT_EQ(store.storeManifest(Data(playlist(0, 3000)), url("http://o.test/0.m3u8")),
            ManifestController::Stored::tooLarge);
  EXPECT_EQ(store.versions().size(), versions.size());
  EXPECT_EQ(store.versions().back().url(), url("http://o.test/39.m3u8"));
  EXPECT_EQ(store.getSegmentInfo(url("http://o.test/segment-with-a-long-name-0-2999.ts")).size(),
            0u);
}

// The budget holds the primary and the versions together, whichever changes: a master fetched
// again or taking a media playlist's place pushes out even the newest version, and a version
// that does not fit beside the primary is refused. Text sizes here stand for the footprints,
// which are larger still.
TEST_F(ManifestControllerTest, TheByteBudgetHoldsWhenThePrimaryChanges) {
  constexpr size_t kBudget = 512 * 1024;
  ManifestController store(ManifestController::Settings{64, kBudget});
  auto master = [](int variants) {
    std::string text = "#EXTM3U\n";
    for (int i = 0; i < variants; ++i) {
      text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i + 1) + "\nvariant-" +
              std::string(100, 'v') + "-" + std::to_string(i) + ".m3u8\n";
    }
    return text + "#EXT-X-STREAM-INF:BANDWIDTH=999999\nlarge.m3u8\n";
  };
  std::vector<std::string> uris;
  for (int i = 0; i < 4000; ++i)
    uris.push_back("segment-" + std::string(40, 's') + "-" + std::to_string(i) + ".ts");
  const std::string large = mediaPlaylist(0, uris);  // more than half the budget
  const std::string largeMaster = master(1900);      // under half, over what is left beside it
  ASSERT_GT(large.size(), kBudget / 2);
  ASSERT_GT(large.size() + largeMaster.size(), kBudget);
  auto textHeld = [&store] {
    size_t bytes = store.primaryManifest() ? store.primaryManifest()->data().size() : 0;
    for (const auto& version : store.versions()) bytes += version.data().size();
    return bytes;
  };
  const Url at = url("http://o.test/master.m3u8");
  const Url largeAt = url("http://o.test/large.m3u8");

  // The master fetched again, grown.
  ASSERT_EQ(store.storeManifest(Data(master(1)), at), ManifestController::Stored::yes);
  ASSERT_EQ(store.storeManifest(Data(large), largeAt), ManifestController::Stored::yes);
  ASSERT_EQ(store.getSegmentInfo(url("http://o.test/" + uris.back())).size(), 1u);
  EXPECT_EQ(store.storeManifest(Data(largeMaster), at), ManifestController::Stored::yes);
  EXPECT_LE(textHeld(), kBudget);
  EXPECT_EQ(store.primaryManifest()->data().size(), largeMaster.size());
  // Reloaded, the large version no longer fits beside it.
  EXPECT_EQ(store.storeManifest(Data(large), largeAt), ManifestController::Stored::tooLarge);
  EXPECT_LE(textHeld(), kBudget);

  // A master taking a media playlist's place after cleanup().
  store.cleanup();
  ASSERT_EQ(store.storeManifest(Data(mediaPlaylist(0, {"a.ts"})), url("http://o.test/a.m3u8")),
            ManifestController::Stored::yes);
  ASSERT_EQ(store.storeManifest(Data(large), largeAt), ManifestController::Stored::yes);
  EXPECT_EQ(store.storeManifest(Data(largeMaster), at), ManifestController::Stored::yes);
  EXPECT_LE(textHeld(), kBudget);
  EXPECT_EQ(store.primaryManifest()->url(), at);

  // The previous video's player reloading a large playlist the master does not name: past the
  // budget it goes, not the playlist of the video played now.
  store.cleanup();
  ASSERT_EQ(store.storeManifest(Data(master(1)), at), ManifestController::Stored::yes);
  const std::vector<std::string> played(uris.begin(), uris.begin() + 2500);
  ASSERT_EQ(store.storeManifest(Data(mediaPlaylist(0, played)), largeAt),
            ManifestController::Stored::yes);
  for (int reload = 0; reload < 2; ++reload) {
    EXPECT_EQ(store.storeManifest(Data(large), url("http://o.test/previous/video.m3u8")),
              ManifestController::Stored::yes);
    EXPECT_LE(textHeld(), kBudget);
    EXPECT_EQ(store.getSegmentInfo(url("http://o.test/" + played.back())).size(), 1u)
        << "the video played now lost its playlist";
  }
}

// A relative URI resolves to a URL as long as its playlist's: under a 40,000-byte path, 2,000
// short segments name 80 MB of URLs, and as many variants as many again. The store keeps their
// text and finds each by its URL all the same.
TEST_F(ManifestControllerTest, EntriesUnderALongUrlCostTheStoreTheirTextNotTheirUrls) {
  const std::string dir = "http://o.test/" + std::string(40000, 't') + "/";
  constexpr int kEntries = 2000;
  constexpr size_t kMostHeld = 1 << 20;
  std::string master = "#EXTM3U\n";
  std::vector<std::string> uris;
  for (int i = 0; i < kEntries; ++i) {
    master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(1000 + i) + "\nv" +
              std::to_string(i) + ".m3u8\n";
    uris.push_back("s" + std::to_string(i) + ".ts");
  }
  const std::string media = mediaPlaylist(7, uris);
  // What the store holds once each is stored, and the most it held meanwhile.
  const auto heldStoring = [&](const std::string& text, const std::string& at,
                               std::optional<std::string> finalAt) {
    test::HeapGauge heap;
    const size_t before = test::HeapGauge::bytesInUse();
    store(text, at, finalAt ? std::optional<std::string_view>(*finalAt) : std::nullopt);
    const size_t after = test::HeapGauge::bytesInUse();
    EXPECT_LT(heap.peakGrowth(), 4 * kMostHeld) << at.size() << "-byte URL";
    return after > before ? after - before : 0;
  };
  // The master behind a redirect to the long URL, the media playlist at one.
  EXPECT_LT(heldStoring(master, "http://o.test/master.m3u8", dir + "master.m3u8"), kMostHeld);
  EXPECT_LT(heldStoring(media, dir + "v1999.m3u8", std::nullopt), kMostHeld);

  const auto last = lookup(dir + "s1999.ts");
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].segmentNumber(), 7 + 1999);
  EXPECT_EQ(last[0].targetQuality(), 1999);
  EXPECT_EQ(last[0].bandwidth(), 1000 + 1999);
  EXPECT_EQ(lookup(dir + "s0.ts").at(0).segmentNumber(), 7);
  EXPECT_EQ(lookup(dir + "s2000.ts").size(), 0u);
  EXPECT_EQ(lookup("http://o.test/s0.ts").size(), 0u);
}

// However a URL is written, it is one URL: a segment written twice in different ways shares its
// URL with the other and neither can be told apart.
TEST_F(ManifestControllerTest, OneUrlWrittenInDifferentWaysIsOneUrl) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nhttp://o.test/d/m.m3u8\n",
        "http://o.test/master.m3u8");
  store(mediaPlaylist(0, {"a.ts", "b.ts", "./x/../%61.ts", "c.ts?%41", "HTTP://O.TEST:80/d/c.ts?A",
                          "//o.test/d/e.ts", "/d/f.ts"}),
        "http://o.test/d/./m.m3u8");
  EXPECT_EQ(lookup("http://o.test/d/a.ts").size(), 0u);
  EXPECT_EQ(lookup("http://o.test/d/c.ts?A").size(), 0u);
  EXPECT_EQ(lookup("http://o.test/d/b.ts").at(0).segmentNumber(), 1);
  EXPECT_EQ(lookup("http://o.test/d/e.ts").at(0).segmentNumber(), 5);
  EXPECT_EQ(lookup("http://o.test/d/f.ts").at(0).segmentNumber(), 6);
}

TEST_F(ManifestControllerTest, APlaylistTooLargeToStoreIsRefusedInOneLineWithBothSizes) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  constexpr size_t kBudget = 64 * 1024;
  ManifestController small(ManifestController::Settings{64, kBudget});
  EXPECT_EQ(small.storeManifest(Data(std::string("#EXTM3U\n")), url("http://o.test/master.m3u8")),
            ManifestController::Stored::yes);
  std::vector<std::string> uris(4000, "segment.ts");
  const std::string large = mediaPlaylist(0, uris);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(small.storeManifest(Data(large), url("http://o.test/m.m3u8")),
            ManifestController::Stored::tooLarge);
  const std::string logged = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
  EXPECT_NE(logged.find(" " + std::to_string(large.size()) + " bytes not served"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find(" " + std::to_string(kBudget) + " "), std::string::npos) << logged;
  EXPECT_TRUE(small.versions().empty());
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
}

TEST_F(ManifestControllerTest, StoredCopyDropsKeyAndDateLinesAndCrLf) {
  store("#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1\r\nm.m3u8\r\n", "http://o.test/master.m3u8");
  store(
      "#EXTM3U\r\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\r\n#EXT-X-TARGETDURATION:1\r\n"
      "#EXT-X-MEDIA-SEQUENCE:0\r\n#EXTINF:1,\r\n#EXT-X-PROGRAM-DATE-TIME:2026-01-01T00:00:00Z\r\n"
      "a.ts\r\n#EXT-X-KEYS-ARE-GONE\r\n",
      "http://o.test/m.m3u8");
  EXPECT_EQ(store_.versions().at(0).data().toString(),
            "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:1,\na.ts\n");
  EXPECT_EQ(store_.primaryManifest()->data().toString(),
            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n");
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 1u);
}

TEST_F(ManifestControllerTest, BrokenPlaylistsAreLoggedAndSkipped) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n", "http://o.test/master.m3u8");
  store(mediaPlaylist(0, {"a.ts"}), "http://o.test/m.m3u8");
  ::testing::internal::CaptureStdout();
  store("#EXTM3U\n#EXTINF:1,\nb.ts\n", "http://o.test/n.m3u8");
  const std::string logged = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(logged.find("[ManifestParser] Malformed playlist, missing required elements"),
            std::string::npos)
      << logged;
  EXPECT_EQ(store_.lastManifestSegments(), 0);
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 1u);
  // Bytes that are not UTF-8 are not stored and disturb nothing.
  store("#EXTM3U\n\xC3\x28\n", "http://o.test/m.m3u8");
  EXPECT_EQ(store_.versions().size(), 2u);
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 1u);
  // Past whole words of ASCII too, and at the very end: a broken sequence, a stray
  // continuation byte, a sequence cut short; each beside a well-formed one that is kept.
  for (const std::string broken : {"\xC3\x28", "\xA9", "\xE2\x82", "\xED\xA0\x80"}) {
    store(mediaPlaylist(0, {"caf\xC3\xA9-" + broken + ".ts"}), "http://o.test/m.m3u8");
    store(mediaPlaylist(0, {"b.ts"}) + "#caf\xC3\xA9" + broken, "http://o.test/m.m3u8");
  }
  EXPECT_EQ(store_.versions().size(), 2u);
  EXPECT_EQ(lookup("http://o.test/a.ts").size(), 1u);
  store(mediaPlaylist(0, {"caf\xC3\xA9-\xF0\x9F\x8E\xAC.ts"}) + "#\xE2\x82\xAC",
        "http://o.test/m.m3u8");
  EXPECT_EQ(lookup("http://o.test/caf%C3%A9-%F0%9F%8E%AC.ts").size(), 1u);
}

TEST_F(ManifestControllerTest, ConcurrentStoresAndLookups) {
  store("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlive.m3u8\n", "http://o.test/master.m3u8");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int reload = 0; reload < 200; ++reload) {
      store(mediaPlaylist(reload, {"s" + std::to_string(reload) + ".ts", "fixed.ts"}),
            "http://o.test/live.m3u8");
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        auto found = lookup("http://o.test/fixed.ts");
        if (!found.empty()) {
          EXPECT_GE(found[0].segmentNumber(), 1);
        }
        (void)store_.lastManifestSegments();
        (void)store_.resolutions();
      }
    });
  }
  writer.join();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(lookup("http://o.test/fixed.ts").at(0).segmentNumber(), 200);
}

}  // namespace
}  // namespace ombrelia
