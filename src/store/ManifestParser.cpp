#include "store/ManifestParser.hpp"

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/url/Utf8.hpp"
#include "playlist/parser/PlaylistParser.hpp"

namespace ombrelia {
namespace {

std::optional<PlaylistParser::ParserResult> parse(const Data& data, const Url& baseUrl,
                                                  PlaylistType type) {
  if (!Utf8::isValid(data.view())) return std::nullopt;
  auto outcome = PlaylistParser().parse({data.toString(), type, baseUrl});
  if (!outcome) {
    OmbreliaLogger::error(outcome.error().errorDescription(), OLogModule::manifestParser);
    return std::nullopt;
  }
  return std::move(outcome).value();
}

}  // namespace

std::optional<MasterPlaylist> ManifestParser::parseMasterManifest(const Data& data,
                                                                  const Url& baseUrl) {
  auto result = parse(data, baseUrl, PlaylistType::master);
  if (!result || result->master() == nullptr) return std::nullopt;
  return *result->master();
}

std::optional<MediaPlaylist> ManifestParser::parseMediaManifest(const Data& data,
                                                                const Url& baseUrl) {
  auto result = parse(data, baseUrl, PlaylistType::video);
  if (!result || result->media() == nullptr) return std::nullopt;
  return *result->media();
}

}  // namespace ombrelia
