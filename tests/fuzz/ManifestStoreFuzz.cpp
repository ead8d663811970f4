// Feeds arbitrary bytes to what the proxy does with every fetched playlist: variant pinning at
// the level the first byte gives, then storing as the master and as a media playlist, and the
// segment lookups that follow. The input after the first byte is split at the first NUL into
// the master text and the media text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <ombrelia/OmbreliaConfig.hpp>

#include "store/HLSManifestModifier.hpp"
#include "store/ManifestController.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia;
  if (size == 0) return 0;
  static const bool configured = [] {
    OmbreliaConfig::configure("fuzz");
    return true;
  }();
  (void)configured;
  OmbreliaConfig::shared().setCurrentLevel(static_cast<int8_t>(data[0]) % 8);
  OmbreliaConfig::shared().setMaxPreloadedSegments(data[0] & 0x3);

  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = input.find('\0');
  const std::string_view master = input.substr(0, split);
  const std::string_view media = split == std::string_view::npos ? input : input.substr(split + 1);

  HLSManifestModifier modifier;
  (void)modifier.modifyManifest(Data(std::string(master)));
  (void)modifier.getResolutions(Data(std::string(master)));

  ManifestController store(ManifestController::Settings{4});
  store.storeManifest(Data(std::string(master)), *Url::parse("http://origin.test/a/master.m3u8"));
  store.storeManifest(Data(std::string(media)), *Url::parse("http://origin.test/a/v/index.m3u8"),
                      Url::parse("http://edge.test/b/index.m3u8"));
  for (const char* segment : {"http://edge.test/b/seg0.ts", "http://edge.test/b/1.ts",
                              "http://origin.test/a/v/seg0.ts"}) {
    for (const SegmentInfo& info : store.getSegmentInfo(*Url::parse(segment))) {
      (void)info.segmentNumber();
    }
  }
  (void)store.lastManifestSegments();
  return 0;
}
