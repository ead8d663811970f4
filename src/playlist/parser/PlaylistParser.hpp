#pragma once
// A parse runs on the caller's thread; cancel() may be called from any thread.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <ombrelia/Url.hpp>

#include "playlist/parser/PlaylistParseError.hpp"
#include "playlist/playlist/MasterPlaylist.hpp"
#include "playlist/playlist/MediaPlaylist.hpp"

namespace ombrelia {

// Turns the text of one HLS playlist into a master or a media playlist in a single pass.
class PlaylistParser {
 public:
  struct Params {
    std::string playlist;
    PlaylistType playlistType;
    Url baseUrl;
  };

  struct ExtraParams {
    using LinePostProcessHandler =
        std::function<std::vector<std::string>(std::vector<std::string>)>;
    // Replaces the kind's recognised classes, in this order.
    std::optional<std::vector<const TagType*>> customHandledTags;
    // Further classes whose lines are collected into the playlist's extra tags.
    std::optional<std::vector<const TagType*>> extraTags;
    // Called with the lines of every entry; a result with as many lines replaces them in the
    // text from which alteredText is built.
    LinePostProcessHandler linePostProcessHandler;
  };

  struct Cancelled {};
  class ParserResult {
   public:
    ParserResult(MasterPlaylist playlist) : value_(std::move(playlist)) {}  // NOLINT
    ParserResult(MediaPlaylist playlist) : value_(std::move(playlist)) {}   // NOLINT
    ParserResult(Cancelled) : value_(Cancelled{}) {}                        // NOLINT

    bool isCancelled() const { return std::holds_alternative<Cancelled>(value_); }
    const MasterPlaylist* master() const { return std::get_if<MasterPlaylist>(&value_); }
    const MediaPlaylist* media() const { return std::get_if<MediaPlaylist>(&value_); }
    MasterPlaylist* master() { return std::get_if<MasterPlaylist>(&value_); }
    MediaPlaylist* media() { return std::get_if<MediaPlaylist>(&value_); }
    // The master or media playlist; null when cancelled.
    const Playlist* playlist() const;

   private:
    std::variant<MasterPlaylist, MediaPlaylist, Cancelled> value_;
  };

  using Outcome = Expected<ParserResult, PlaylistParseError>;

  // Takes each tag a parse would keep in a list of its result (variants, renditions, segments,
  // keys), in text order, with the last line of the tag's entry: a view into the text read.
  using TagSink =
      std::function<void(const std::shared_ptr<const Tag>& tag, std::string_view lastLine)>;

  PlaylistParser();

  // Never throws; a text that is not a playlist of the asked kind gives malformedPlaylist, a tag
  // line that cannot be built gives its TagError.
  Outcome parse(const Params& params, const ExtraParams* extraParams = nullptr) const;
  // The same; the result takes the text over rather than copying it.
  Outcome parse(Params&& params, const ExtraParams* extraParams = nullptr) const;
  // Reads `playlist` where it stands, handing the tags of the result's lists to `sink`: the
  // result keeps neither those lists nor the text (its original text is empty), so a playlist of
  // half a million segments is neither copied nor held as half a million tags at once.
  Outcome read(std::string_view playlist, PlaylistType playlistType, const Url& baseUrl,
               const TagSink& sink) const;

  // Sets isCancelled from the global queue; every later loop step of a parse sees it.
  void cancel();
  bool isCancelled() const { return cancelled_->load(std::memory_order_relaxed); }
  void setIsCancelled(bool value) { cancelled_->store(value, std::memory_order_relaxed); }

 private:
  // `recordText` gives the text the result keeps, once the lines are no longer read.
  Outcome parseText(std::string_view playlist, PlaylistType playlistType, const Url& baseUrl,
                    const ExtraParams* extraParams, const TagSink* sink,
                    const std::function<std::string()>& recordText) const;

  // Shared with the cancelling task, which may run after the parser is gone.
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

}  // namespace ombrelia
