// Segment lookup time of the manifest store with 1, 100 and 1,000 stored playlists, and of the
// segment store when full.
#include <chrono>
#include <cstdio>
#include <string>

#include <ombrelia/OmbreliaConfig.hpp>

#include "store/ManifestController.hpp"
#include "store/VideoStorage.hpp"

namespace {

using namespace ombrelia;

std::string mediaPlaylist(int index, int segments) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:500\n";
  for (int i = 0; i < segments; ++i) {
    text += "#EXTINF:6.000,\nseg" + std::to_string(index) + "_" + std::to_string(i) + ".ts\n";
  }
  return text;
}

template <typename Body>
double nanosecondsPer(Body&& body) {
  size_t iterations = 0;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = std::chrono::steady_clock::duration::zero();
  do {
    for (int i = 0; i < 100; ++i) body(iterations + i);
    iterations += 100;
    elapsed = std::chrono::steady_clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(300));
  return std::chrono::duration<double, std::nano>(elapsed).count() /
         static_cast<double>(iterations);
}

void manifestLookup(int playlists) {
  constexpr int kSegments = 10;
  ManifestController store(ManifestController::Settings{static_cast<size_t>(playlists)});
  std::string master = "#EXTM3U\n";
  for (int p = 0; p < playlists; ++p) {
    master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(100000 + p) +
              ",RESOLUTION=640x360\nv" + std::to_string(p) + "/index.m3u8\n";
  }
  store.storeManifest(Data(master), *Url::parse("http://origin.test/live/master.m3u8"));
  for (int p = 0; p < playlists; ++p) {
    store.storeManifest(
        Data(mediaPlaylist(p, kSegments)),
        *Url::parse("http://origin.test/live/v" + std::to_string(p) + "/index.m3u8"));
  }
  // The oldest playlist is the last one the newest-first walk reaches: the worst case.
  const Url oldest = *Url::parse("http://origin.test/live/v0/seg0_5.ts");
  const Url newest = *Url::parse("http://origin.test/live/v" + std::to_string(playlists - 1) +
                                 "/seg" + std::to_string(playlists - 1) + "_5.ts");
  const Url missing = *Url::parse("http://origin.test/live/v0/none.ts");
  if (store.getSegmentInfo(oldest).size() != 1 || store.getSegmentInfo(newest).size() != 1) {
    std::printf("manifest lookup: unexpected miss\n");
    return;
  }
  const double newestNs = nanosecondsPer([&](size_t) { (void)store.getSegmentInfo(newest); });
  const double oldestNs = nanosecondsPer([&](size_t) { (void)store.getSegmentInfo(oldest); });
  const double missNs = nanosecondsPer([&](size_t) { (void)store.getSegmentInfo(missing); });
  std::printf("manifest lookup, %4d playlists: newest %8.0f ns  oldest %8.0f ns  miss %8.0f ns\n",
              playlists, newestNs, oldestNs, missNs);
}

void segmentLookup() {
  auto storage = VideoStorage::create(nullptr);
  for (int64_t n = 0; n < 300; ++n) {
    storage->saveData(*Url::parse("http://origin.test/s.ts"), Data(std::string(1000, 's')),
                      "video/mp2t", SegmentInfo(SegmentType::video, 1, 1, std::nullopt, 1, n, 6),
                      "vid");
  }
  storage->waitUntilIdle();
  const double hitNs =
      nanosecondsPer([&](size_t) { (void)storage->getSegment("video", 1, 10, "vid"); });
  const double missNs =
      nanosecondsPer([&](size_t) { (void)storage->getSegment("video", 2, 10, "vid"); });
  std::printf("segment store lookup, 300 segments: hit %8.0f ns  miss %8.0f ns\n", hitNs, missNs);
}

}  // namespace

int main() {
  OmbreliaConfig::configure("bench");
  for (int playlists : {1, 100, 1000}) manifestLookup(playlists);
  segmentLookup();
  return 0;
}
