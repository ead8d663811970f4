#include "playlist/tags/EXTINF.hpp"

#include "playlist/parser/PlaylistLines.hpp"

namespace ombrelia {
namespace {

Expected<std::shared_ptr<const Tag>, TagError> makeTag(std::string_view text,
                                                       const TagType& tagType,
                                                       const TagExtraParams* extraParams) {
  auto tag = EXTINF::make(text, tagType, extraParams);
  if (!tag) return tag.error();
  return std::shared_ptr<const Tag>(tag.value());
}

}  // namespace

const TagType& EXTINF::type() {
  static const TagType kType{"#EXTINF:", &makeTag, &EXTINF::linesCount};
  return kType;
}

int EXTINF::linesCount(std::string_view text) {
  if (text.find(EXT_X_BITRATE::type().tag()) == std::string_view::npos) return 2;
  for (std::string_view line : PlaylistLines::split(text)) {
    if (line.starts_with(EXT_X_BITRATE::type().tag())) return 3;
  }
  return 2;
}

EXTINF::EXTINF(Parts parts, const TagType& tagType, std::optional<std::string> title,
               std::string uri, std::shared_ptr<const EXT_X_BITRATE> bitrate)
    : BaseValueTag(std::move(parts), tagType),
      title_(std::move(title)),
      uri_(std::move(uri)),
      bitrate_(std::move(bitrate)) {}

Expected<std::shared_ptr<const EXTINF>, TagError> EXTINF::make(std::string_view text,
                                                               const TagType& tagType,
                                                               const TagExtraParams*) {
  // Only entries of two or three lines can be built, so four views are enough to tell.
  std::string_view lines[4];
  const size_t lineCount = PlaylistLines::split(text, lines, 4);
  // linesCount of the whole text, from the lines at hand when they are all there.
  int k = 2;
  if (lineCount > 4) {
    k = linesCount(text);
  } else {
    for (size_t i = 0; i < lineCount; ++i) {
      if (lines[i].starts_with(EXT_X_BITRATE::type().tag())) k = 3;
    }
  }
  if (lineCount != static_cast<size_t>(k)) {
    return TagError::invalidData(std::string(tagType.tag()),
                                 "more/less than " + std::to_string(k) + " lines of data",
                                 "exactly " + std::to_string(k) + " lines of data");
  }
  std::shared_ptr<const EXT_X_BITRATE> bitrate;
  std::string_view uri = lines[1];
  if (k == 3) {
    auto built = EXT_X_BITRATE::make(lines[1]);
    if (!built) return built.error();
    bitrate = std::move(built.value());
    uri = lines[2];
  }
  std::string_view first = lines[0];
  std::optional<std::string> title;
  if (const size_t comma = first.find(','); comma != std::string_view::npos) {
    title = std::string(first.substr(comma + 1));
    first = first.substr(0, comma);
  }
  auto parts = parse(first, tagType);
  if (!parts) return parts.error();
  return std::make_shared<const EXTINF>(std::move(parts).value(), tagType, std::move(title),
                                        std::string(uri), std::move(bitrate));
}

}  // namespace ombrelia
