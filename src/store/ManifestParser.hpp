#pragma once
// Any thread: stateless; parses on the caller's thread.

#include <optional>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

#include "playlist/parser/PlaylistParser.hpp"
#include "playlist/playlist/MasterPlaylist.hpp"
#include "playlist/playlist/MediaPlaylist.hpp"

namespace ombrelia {

// The manifest store's way into the playlist parser: stored bytes to a playlist record. A parse
// error is logged as one error line (module manifestParser) carrying the error's description;
// bytes that are not UTF-8, or a playlist of the other kind, give nothing without a log line.
struct ManifestParser {
  static std::optional<MasterPlaylist> parseMasterManifest(const Data& data, const Url& baseUrl);
  // Every media playlist is parsed as video, audio renditions included.
  static std::optional<MediaPlaylist> parseMediaManifest(const Data& data, const Url& baseUrl);

  // The same, handing the tags of the record's lists to `sink` as they are read, their last
  // line a view into `data`; the record keeps neither those lists nor the text. `data` must be
  // UTF-8, as the store has checked already.
  static std::optional<MasterPlaylist> readMasterManifest(const Data& data, const Url& baseUrl,
                                                          const PlaylistParser::TagSink& sink);
  static std::optional<MediaPlaylist> readMediaManifest(const Data& data, const Url& baseUrl,
                                                        const PlaylistParser::TagSink& sink);
};

}  // namespace ombrelia
