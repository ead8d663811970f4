// Feeds arbitrary bytes to the playlist parser as every kind of playlist, with and without a
// post-process handler and extra tag classes. The first byte picks the kind and the options.
#include <cstddef>
#include <cstdint>
#include <string>

#include "playlist/parser/PlaylistParser.hpp"
#include "playlist/tags/EXT_X_BITRATE.hpp"
#include "playlist/tags/EXT_X_INDEPENDENT_SEGMENTS.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia;
  if (size == 0) return 0;
  const uint8_t options = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  static const Url kBase = *Url::parse("http://origin.test/a/b.m3u8");
  const PlaylistType kinds[] = {PlaylistType::master, PlaylistType::video, PlaylistType::audio,
                                PlaylistType::subtitles};
  PlaylistParser::ExtraParams extra;
  if (options & 0x4) {
    extra.extraTags =
        std::vector<const TagType*>{&EXT_X_BITRATE::type(), &EXT_X_INDEPENDENT_SEGMENTS::type()};
  }
  if (options & 0x8) {
    extra.linePostProcessHandler = [](std::vector<std::string> lines) {
      if (!lines.empty()) lines.back().append("?x");
      return lines;
    };
  }
  const bool withExtra = (options & 0xC) != 0;
  PlaylistParser parser;
  auto outcome =
      parser.parse({std::move(text), kinds[options & 0x3], kBase}, withExtra ? &extra : nullptr);
  if (outcome) {
    if (const MediaPlaylist* media = outcome.value().media()) {
      for (const auto& segment : media->tags().mediaSegments()) (void)segment->uri().size();
    } else if (const MasterPlaylist* master = outcome.value().master()) {
      for (const auto& variant : master->tags().streamTags()) {
        (void)variant->bandwidth();
        (void)variant->resolution();
      }
    }
  } else {
    (void)outcome.error().errorDescription();
  }
  return 0;
}
