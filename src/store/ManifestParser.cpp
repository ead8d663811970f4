#include "store/ManifestParser.hpp"

#include <type_traits>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/url/Utf8.hpp"

namespace ombrelia {
namespace {

std::optional<PlaylistParser::ParserResult> parse(const Data& data, const Url& baseUrl,
                                                  PlaylistType type,
                                                  const PlaylistParser::TagSink& sink) {
  // The store checks what it reads once, before cleaning it: a second walk of a large playlist
  // here would cost a sixth of its reading.
  if (!sink && !Utf8::isValid(data.view())) return std::nullopt;
  // With a sink, the text is read where it is stored: a large playlist is not copied.
  auto outcome =
      sink ? PlaylistParser().read(data.view(), type, baseUrl, sink)
           : PlaylistParser().parse(PlaylistParser::Params{data.toString(), type, baseUrl});
  if (!outcome) {
    OmbreliaLogger::error(outcome.error().errorDescription(), OLogModule::manifestParser);
    return std::nullopt;
  }
  return std::move(outcome).value();
}

template <typename Record>
std::optional<Record> asRecord(std::optional<PlaylistParser::ParserResult> result) {
  if (!result) return std::nullopt;
  Record* record = nullptr;
  if constexpr (std::is_same_v<Record, MasterPlaylist>) {
    record = result->master();
  } else {
    record = result->media();
  }
  if (record == nullptr) return std::nullopt;
  return std::move(*record);
}

}  // namespace

std::optional<MasterPlaylist> ManifestParser::parseMasterManifest(const Data& data,
                                                                  const Url& baseUrl) {
  return asRecord<MasterPlaylist>(parse(data, baseUrl, PlaylistType::master, nullptr));
}

std::optional<MediaPlaylist> ManifestParser::parseMediaManifest(const Data& data,
                                                                const Url& baseUrl) {
  return asRecord<MediaPlaylist>(parse(data, baseUrl, PlaylistType::video, nullptr));
}

std::optional<MasterPlaylist> ManifestParser::readMasterManifest(
    const Data& data, const Url& baseUrl, const PlaylistParser::TagSink& sink) {
  return asRecord<MasterPlaylist>(parse(data, baseUrl, PlaylistType::master, sink));
}

std::optional<MediaPlaylist> ManifestParser::readMediaManifest(
    const Data& data, const Url& baseUrl, const PlaylistParser::TagSink& sink) {
  return asRecord<MediaPlaylist>(parse(data, baseUrl, PlaylistType::video, sink));
}

}  // namespace ombrelia
