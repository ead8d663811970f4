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
  // keys), in text order, with the last line of the tag's entry: a view into Params::playlist.
  // A parse that hands them on keeps none: those lists stay empty, and a playlist of half a
  // million segments is never held as half a million tags at once.
  using TagSink =
      std::function<void(const std::shared_ptr<const Tag>& tag, std::string_view lastLine)>;

  PlaylistParser();

  // Never throws; a text that is not a playlist of the asked kind gives malformedPlaylist, a tag
  // line that cannot be built gives its TagError.
  Outcome parse(const Params& params, const ExtraParams* extraParams = nullptr) const;
  // The same; the result takes the text over rather than copying it. With a sink, the tags of
  // the lists go to it.
  Outcome parse(Params&& params, const ExtraParams* extraParams = nullptr,
                const TagSink& sink = nullptr) const;

  // Sets isCancelled from the global queue; every later loop step of a parse sees it.
  void cancel();
  bool isCancelled() const { return cancelled_->load(std::memory_order_relaxed); }
  void setIsCancelled(bool value) { cancelled_->store(value, std::memory_order_relaxed); }

 private:
  Outcome parseText(const Params& params, const ExtraParams* extraParams, const TagSink* sink,
                    std::string* movableText) const;

  // Shared with the cancelling task, which may run after the parser is gone.
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

}  // namespace ombrelia
