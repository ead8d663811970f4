// Feeds arbitrary bytes to the playlist parser as every kind of playlist, with and without a
// post-process handler and extra tag classes. The first byte picks the kind and the options. The
// same bytes, read as an attribute list for a few names only, give what the whole list gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "playlist/parser/PlaylistParser.hpp"
#include "playlist/tags/AttributedTag.hpp"
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
  {
    static const std::vector<std::string> kQuote{"\""};
    static constexpr std::string_view kKept[] = {"BANDWIDTH", "RESOLUTION", "URI", "A"};
    const TagAttributes whole = AttributedTag::getAttributes(text, ",", &kQuote);
    TagAttributes some;
    AttributedTag::getAttributes(text, ",", &kQuote, kKept, some);
    for (std::string_view name : kKept) {
      const auto inWhole = whole.find(name);
      const auto inSome = some.find(name);
      if ((inWhole == whole.end()) != (inSome == some.end())) __builtin_trap();
      if (inWhole != whole.end() && inWhole->second != inSome->second) __builtin_trap();
    }
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
