#include "playlist/parser/PlaylistParser.hpp"

#include <deque>
#include <string_view>

#include "platform/DispatchQueue.hpp"
#include "platform/LineSplitter.hpp"
#include "platform/url/Utf8.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "playlist/playlist/MasterPlaylistTagsBuilder.hpp"
#include "playlist/playlist/MediaPlaylistTagsBuilder.hpp"
#include "playlist/tags/EXTM3U.hpp"
#include "playlist/tags/TagText.hpp"

namespace ombrelia {
namespace {

// One parse: the lines, the index into them and the text of the entry being handled.
struct ParseState {
  std::vector<std::string_view> lines;
  std::deque<std::string> ownedLines;  // replacement lines from the post-process handler
  size_t index = 0;
  std::string joined;  // holds the entry's text once continuation lines are joined to it
  std::string_view entry;
};

// Joins the line at the parse's index to the entry with one line feed. Where the text itself has
// a line feed there, the joined entry is the text as it stands and stays a view into it: a
// variant's line may be most of a master, and a copy of it would cost as much again. The entry
// and the lines are views into the same text, unless the entry is the joining buffer already.
void joinNextLine(ParseState& state) {
  const std::string_view line = state.lines[state.index];
  std::string& joined = state.joined;
  const char* end = state.entry.data() + state.entry.size();
  if (state.entry.data() != joined.data() && line.data() - 1 == end && *end == '\n') {
    state.entry = std::string_view(state.entry.data(), state.entry.size() + 1 + line.size());
    return;
  }
  // The buffer is reused from entry to entry; the entry may already be that buffer when an extra
  // class joins after a recognised one, and then it only grows.
  if (state.entry.data() != joined.data()) joined.assign(state.entry);
  joined.push_back('\n');
  joined.append(line);
  state.entry = joined;
}

// Appends the continuation lines of a multi-line entry. Stops at the last line: an entry cut off
// by the end of the text keeps the lines there are, and its class then reports the line count.
void handleMultilineTag(const TagType& tagType, ParseState& state) {
  if (!tagType.isMultiline()) return;
  const size_t count = state.lines.size();
  if (state.index + 1 >= count) return;
  ++state.index;
  joinNextLine(state);
  const int k = tagType.linesCount(state.entry);
  for (int i = 0; i < k - 2 && state.index + 1 < count; ++i) {
    ++state.index;
    joinNextLine(state);
  }
}

// A class's own factory builds that class; only a caller's subclass needs the checked cast.
template <typename T>
std::shared_ptr<const T> as(std::shared_ptr<const Tag>&& tag, const TagType& matched) {
  if (&matched == &T::type()) return std::static_pointer_cast<const T>(std::move(tag));
  return std::dynamic_pointer_cast<const T>(std::move(tag));
}

// Where the tags of the result's lists go: to the sink when there is one, else to the lists.
struct ListedTags {
  const PlaylistParser::TagSink* sink;
  std::string_view lastLine;

  template <typename T>
  void add(std::shared_ptr<const T>&& tag, std::vector<std::shared_ptr<const T>>& list) const {
    if (sink != nullptr) {
      (*sink)(tag, lastLine);
    } else {
      list.push_back(std::move(tag));
    }
  }
};

std::optional<TagError> handleMasterPlaylistTags(std::string_view line, const TagType& tagType,
                                                 MasterPlaylistTagsBuilder& builder,
                                                 const ListedTags& listed) {
  const TagType* deciding = nullptr;
  for (const TagType* candidate :
       {&EXT_X_MEDIA::type(), &EXT_X_STREAM_INF::type(), &EXT_X_VERSION::type()}) {
    if (tagType.isKindOf(*candidate)) {
      deciding = candidate;
      break;
    }
  }
  if (deciding == nullptr) return std::nullopt;
  auto tag = tagType.factory(line, *deciding, nullptr);
  if (!tag) return tag.error();
  if (deciding == &EXT_X_MEDIA::type()) {
    if (auto media = as<EXT_X_MEDIA>(std::move(tag.value()), tagType))
      listed.add(std::move(media), builder.mediaTags);
  } else if (deciding == &EXT_X_STREAM_INF::type()) {
    if (auto stream = as<EXT_X_STREAM_INF>(std::move(tag.value()), tagType)) {
      listed.add(std::move(stream), builder.streamTags);
    }
  } else if (auto version = as<EXT_X_VERSION>(std::move(tag.value()), tagType)) {
    builder.versionTag = std::move(version);
  }
  return std::nullopt;
}

std::optional<TagError> handleMediaPlaylistTags(std::string_view line, const TagType& tagType,
                                                MediaPlaylistTagsBuilder& builder,
                                                const ListedTags& listed) {
  static const TagType* const kDeciding[] = {&EXT_X_TARGETDURATION::type(),
                                             &EXT_X_ALLOW_CACHE::type(),
                                             &EXT_X_PLAYLIST_TYPE::type(),
                                             &EXT_X_VERSION::type(),
                                             &EXT_X_MEDIA_SEQUENCE::type(),
                                             &EXTINF::type(),
                                             &EXT_X_KEY::type()};
  const TagType* deciding = nullptr;
  for (const TagType* candidate : kDeciding) {
    if (tagType.isKindOf(*candidate)) {
      deciding = candidate;
      break;
    }
  }
  if (deciding == nullptr) return std::nullopt;
  auto built = tagType.factory(line, *deciding, nullptr);
  if (!built) return built.error();
  std::shared_ptr<const Tag> tag = std::move(built.value());
  if (deciding == &EXTINF::type()) {
    if (auto segment = as<EXTINF>(std::move(tag), tagType))
      listed.add(std::move(segment), builder.mediaSegments);
  } else if (deciding == &EXT_X_TARGETDURATION::type()) {
    if (auto value = as<EXT_X_TARGETDURATION>(std::move(tag), tagType))
      builder.targetDurationTag = std::move(value);
  } else if (deciding == &EXT_X_ALLOW_CACHE::type()) {
    if (auto value = as<EXT_X_ALLOW_CACHE>(std::move(tag), tagType))
      builder.allowCacheTag = std::move(value);
  } else if (deciding == &EXT_X_PLAYLIST_TYPE::type()) {
    if (auto value = as<EXT_X_PLAYLIST_TYPE>(std::move(tag), tagType))
      builder.playlistTypeTag = std::move(value);
  } else if (deciding == &EXT_X_VERSION::type()) {
    if (auto value = as<EXT_X_VERSION>(std::move(tag), tagType))
      builder.versionTag = std::move(value);
  } else if (deciding == &EXT_X_MEDIA_SEQUENCE::type()) {
    if (auto value = as<EXT_X_MEDIA_SEQUENCE>(std::move(tag), tagType))
      builder.mediaSequence = std::move(value);
  } else if (auto key = as<EXT_X_KEY>(std::move(tag), tagType)) {
    listed.add(std::move(key), builder.keySegments);
  }
  return std::nullopt;
}

}  // namespace

const Playlist* PlaylistParser::ParserResult::playlist() const {
  if (const auto* m = master()) return m;
  if (const auto* m = media()) return m;
  return nullptr;
}

PlaylistParser::PlaylistParser() : cancelled_(std::make_shared<std::atomic<bool>>(false)) {}

void PlaylistParser::cancel() {
  platform::DispatchQueue::global()->async(
      [flag = cancelled_] { flag->store(true, std::memory_order_relaxed); });
}

PlaylistParser::Outcome PlaylistParser::parse(const Params& params,
                                              const ExtraParams* extraParams) const {
  return parseText(params.playlist, params.playlistType, params.baseUrl, extraParams, nullptr,
                   [&params] { return params.playlist; });
}

PlaylistParser::Outcome PlaylistParser::parse(Params&& params,
                                              const ExtraParams* extraParams) const {
  return parseText(params.playlist, params.playlistType, params.baseUrl, extraParams, nullptr,
                   [&params] { return std::move(params.playlist); });
}

PlaylistParser::Outcome PlaylistParser::read(std::string_view playlist, PlaylistType playlistType,
                                             const Url& baseUrl, const TagSink& sink) const {
  return parseText(playlist, playlistType, baseUrl, nullptr, sink ? &sink : nullptr,
                   [] { return std::string(); });
}

PlaylistParser::Outcome PlaylistParser::parseText(
    std::string_view playlist, PlaylistType playlistType, const Url& baseUrl,
    const ExtraParams* extraParams, const TagSink* sink,
    const std::function<std::string()>& recordText) const {
  ParseState state;
  state.lines = PlaylistLines::split(playlist);
  const size_t count = state.lines.size();

  if (!TagText::isMatch(Utf8::withoutByteOrderMark(state.lines[0]), EXTM3U::type())) {
    return PlaylistParseError::malformedPlaylist();
  }

  const std::vector<const TagType*> recognised =
      (extraParams != nullptr && extraParams->customHandledTags) ? *extraParams->customHandledTags
                                                                 : handledTagTypes(playlistType);
  std::vector<const TagType*> extras;
  if (extraParams != nullptr && extraParams->extraTags) {
    for (const TagType* type : *extraParams->extraTags) {
      bool alsoRecognised = false;
      for (const TagType* known : recognised) alsoRecognised = alsoRecognised || known == type;
      if (!alsoRecognised) extras.push_back(type);
    }
  }
  const bool isMaster = playlistType == PlaylistType::master;
  const auto& postProcess = extraParams != nullptr ? extraParams->linePostProcessHandler
                                                   : ExtraParams::LinePostProcessHandler();

  MasterPlaylistTagsBuilder masterBuilder;
  MediaPlaylistTagsBuilder mediaBuilder;
  ExtraTagMap extraTags;

  for (state.index = 1; state.index < count; ++state.index) {
    if (isCancelled()) return ParserResult(Cancelled{});
    const size_t start = state.index;
    state.entry = state.lines[state.index];

    for (const TagType* type : recognised) {
      if (!TagText::isMatch(state.entry, *type)) continue;
      handleMultilineTag(*type, state);
      const ListedTags listed{sink, state.lines[state.index]};
      auto error = isMaster ? handleMasterPlaylistTags(state.entry, *type, masterBuilder, listed)
                            : handleMediaPlaylistTags(state.entry, *type, mediaBuilder, listed);
      if (error) return PlaylistParseError(*error);
      break;
    }

    for (const TagType* type : extras) {
      if (!TagText::isMatch(state.entry, *type)) continue;
      handleMultilineTag(*type, state);
      auto tag = type->factory(state.entry, *type, nullptr);
      if (!tag) return PlaylistParseError(tag.error());
      extraTags[std::string(type->tag())].push_back(std::move(tag.value()));
    }

    if (postProcess) {
      std::vector<std::string> entryLines = LineSplitter::splitCopy(state.entry);
      const size_t entryLineCount = entryLines.size();
      std::vector<std::string> processed = postProcess(std::move(entryLines));
      if (processed.size() == entryLineCount && start + processed.size() <= count) {
        for (size_t i = 0; i < processed.size(); ++i) {
          state.lines[start + i] = state.ownedLines.emplace_back(std::move(processed[i]));
        }
      }
    }
  }

  std::optional<std::string> alteredText;
  if (postProcess) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) text.push_back('\n');
      text.append(state.lines[i]);
    }
    alteredText = std::move(text);
  }

  // The lines are views into the text: they are not read again once it is moved.
  state.lines = {};
  if (isMaster) {
    return ParserResult(MasterPlaylist(recordText(), std::move(alteredText), baseUrl,
                                       *masterBuilder.build(), std::move(extraTags)));
  }
  auto tags = mediaBuilder.build();
  if (!tags) return PlaylistParseError::malformedPlaylist();
  return ParserResult(MediaPlaylist(recordText(), std::move(alteredText), playlistType, baseUrl,
                                    std::move(*tags), std::move(extraTags)));
}

}  // namespace ombrelia
