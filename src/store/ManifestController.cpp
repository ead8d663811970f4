#include "store/ManifestController.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/FreedMemory.hpp"
#include "platform/url/UrlReference.hpp"
#include "platform/url/Utf8.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "playlist/tags/EXTINF.hpp"
#include "playlist/tags/EXT_X_MEDIA.hpp"
#include "playlist/tags/EXT_X_STREAM_INF.hpp"
#include "store/ManifestParser.hpp"
#include "store/UriIndex.hpp"

namespace ombrelia {

// Where a URI stands in the stored text; empty for an entry whose URI is not indexed. Outside
// the anonymous namespace: the stored playlist, whose name the class's header gives, holds it.
struct StoredUriSpan {
  uint32_t start = 0;
  uint32_t length = 0;
};

namespace {

// The URL URIs are read against, in the form the store compares URLs in (normalised, without
// user name and password), so that what a URI keeps of it is the same text in both.
UrlReference baseForKeys(const Url& base) {
  Url withoutUserInfo = base;
  withoutUserInfo.setUserInfo(std::nullopt);
  if (auto normalized = UrlReference::read(withoutUserInfo.normalizedString())) {
    return UrlReference(normalized.value());
  }
  return UrlReference(base);
}

// Utf8::isValid(text), eight bytes at a time where they are ASCII: nearly every byte of a
// playlist is, and the byte-wise check would cost a large one a sixth of its storing. An ASCII
// byte is a character of its own and never part of another's sequence, so the text is UTF-8
// exactly when each run of non-ASCII bytes between them is.
bool isUtf8(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint64_t word = 0;
    if (i + sizeof(word) <= n) {
      std::memcpy(&word, text.data() + i, sizeof(word));
      if ((word & kHighBits) == 0) {
        i += sizeof(word);
        continue;
      }
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < n && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
    if (!Utf8::isValid(text.substr(i, end - i))) return false;
    i = end;
  }
  return true;
}

// Whether the cleaned text has a variant line, which only a master playlist has: a glance that
// spares reading a media playlist twice. Cleaned text ends its lines with a line feed alone, and
// a tag is known by the literal its line starts with; the first line is "#EXTM3U".
bool hasVariantLine(std::string_view text) {
  // Never destroyed: a worker may store a playlist while the process exits.
  static const std::string* line =
      new std::string("\n" + std::string(EXT_X_STREAM_INF::type().tag()));
  return text.find(*line) != std::string_view::npos;
}

int64_t configuredFollowers() {
  if (!OmbreliaConfig::isConfigured()) return 0;
  return std::max<int64_t>(0, OmbreliaConfig::shared().maxPreloadedSegments());
}

}  // namespace

// What a stored playlist says about segments, worked out once when it is stored. It keeps no
// URL of an entry, only where the entry's URI stands in its text (UriIndex).
struct ManifestController::StoredPlaylist {
  struct Variant {
    int64_t bandwidth;
    std::optional<std::string> resolution;
    StoredUriSpan uri;
  };
  struct Rendition {
    bool isAudio;
    StoredUriSpan uri;
  };
  struct Segment {
    StoredUriSpan uri;
    double duration;
    bool identifiable;  // false for an entry sharing its URL, or whose URI line is a tag
  };

  StoredPlaylist(Manifest manifest, std::string key, const Url& base)
      : manifest(std::move(manifest)), key(std::move(key)), base(baseForKeys(base)) {}

  // The URIs of `entries` as an index reads them.
  template <typename Entry>
  UriIndex::UriOf urisOf(const std::vector<Entry>& entries) const {
    return [this, &entries](uint32_t i) -> std::optional<std::string_view> {
      const StoredUriSpan span = entries[i].uri;
      if (span.length == 0) return std::nullopt;
      return manifest.data().view().substr(span.start, span.length);
    };
  }
  // The first entry of `entries` whose URI names `url`.
  template <typename Entry>
  std::optional<uint32_t> find(const UriIndex& index, const std::vector<Entry>& entries,
                               std::string_view url) const {
    return index.find(url, base, urisOf(entries));
  }

  Manifest manifest;
  std::string key;       // the normalised requested URL
  UrlReference base;     // where the fetch ended, read once
  size_t footprint = 0;  // bytes held for it, counted against the store's budget

  // A master that names at least one variant: what segments take their identity from.
  bool listsVariants() const { return isMaster && !variantsByBandwidth.empty(); }

  // Read as a master playlist (the primary one only).
  bool isMaster = false;
  std::vector<Variant> variantsByBandwidth;  // ascending, ties in playlist order
  UriIndex variants;
  std::vector<Rendition> renditions;  // every rendition, in playlist order
  UriIndex audioRenditions;
  int64_t bestBandwidth = 0;

  // Read as a media playlist (versions only).
  bool isMedia = false;
  std::optional<int64_t> firstSequenceNumber;
  std::vector<Segment> segments;
  UriIndex segmentsByUrl;
};

struct ManifestController::State {
  uint64_t generation = 0;
  std::shared_ptr<const StoredPlaylist> primary;
  std::vector<std::shared_ptr<const StoredPlaylist>> versions;  // oldest first
};

ManifestController& ManifestController::shared() {
  static ManifestController* instance = new ManifestController();  // lives until the process ends
  return *instance;
}

ManifestController::ManifestController() : ManifestController(Settings{}) {}

ManifestController::ManifestController(Settings settings)
    : settings_(settings), state_(std::make_shared<const State>()) {}

ManifestController::~ManifestController() = default;

Data ManifestController::removeNotUsedExtraTagsFromManifest(const Data& data) {
  // Key and program-date-time lines are not needed to identify segments, and ffmpeg writes the
  // program date time between "#EXTINF" and the URI, where it would be taken for the URI.
  const std::string_view text = data.view();
  auto dropped = [](std::string_view line) {
    return line.starts_with("#EXT-X-PROGRAM-DATE-TIME") || line.starts_with("#EXT-X-KEY");
  };
  // Most playlists hold neither and end their lines with LF alone: their bytes are the copy.
  bool unchanged = true;
  PlaylistLines::forEach(text, [&](std::string_view line) {
    const size_t end = static_cast<size_t>(line.data() - text.data()) + line.size();
    if (dropped(line) || (end < text.size() && text[end] != '\n')) unchanged = false;
  });
  if (unchanged) return data;
  std::string out;
  out.reserve(data.size());
  bool first = true;
  PlaylistLines::forEach(text, [&](std::string_view line) {
    if (dropped(line)) return;
    if (!first) out.push_back('\n');
    out.append(line);
    first = false;
  });
  return Data(std::move(out));
}

namespace {

// Where a URI stands in `text`: it is the entry's last line (a segment, a variant) or in it (a
// rendition's attribute).
StoredUriSpan spanOf(std::string_view text, std::string_view lastLine, std::string_view uri) {
  const size_t at = lastLine.find(uri);
  if (uri.empty() || at == std::string_view::npos) return {};
  return {static_cast<uint32_t>(lastLine.data() - text.data() + at),
          static_cast<uint32_t>(uri.size())};
}

}  // namespace

void ManifestController::read(StoredPlaylist& stored, bool asMaster) {
  const Data& data = stored.manifest.data();
  const std::string_view text = data.view();
  const Url& url = stored.manifest.url();
  stored.footprint =
      sizeof(StoredPlaylist) + data.size() + stored.key.capacity() + stored.base.bytes();
  if (asMaster) {
    auto& variants = stored.variantsByBandwidth;
    auto& renditions = stored.renditions;
    const auto master = ManifestParser::readMasterManifest(
        data, url, [&](const std::shared_ptr<const Tag>& tag, std::string_view lastLine) {
          if (const auto* variant = dynamic_cast<const EXT_X_STREAM_INF*>(tag.get())) {
            variants.push_back({variant->bandwidth(), variant->resolution(),
                                spanOf(text, lastLine, variant->uri())});
          } else if (const auto* rendition = dynamic_cast<const EXT_X_MEDIA*>(tag.get())) {
            renditions.push_back({rendition->mediaType() == EXT_X_MEDIA::MediaType::audio,
                                  spanOf(text, lastLine, rendition->uri())});
          }
        });
    if (!master) {
      variants = {};
      renditions = {};
      return;
    }
    stored.isMaster = true;
    std::stable_sort(variants.begin(), variants.end(),
                     [](const auto& a, const auto& b) { return a.bandwidth < b.bandwidth; });
    for (const auto& variant : variants) {
      stored.bestBandwidth = std::max(stored.bestBandwidth, variant.bandwidth);
      if (variant.resolution) stored.footprint += variant.resolution->capacity();
    }
    stored.variants = UriIndex::build(stored.base, static_cast<uint32_t>(variants.size()),
                                      stored.urisOf(variants));
    // Only audio renditions give an identity; each keeps its rank among all renditions.
    auto audioUris = [&stored](uint32_t i) -> std::optional<std::string_view> {
      if (!stored.renditions[i].isAudio) return std::nullopt;
      return stored.urisOf(stored.renditions)(i);
    };
    stored.audioRenditions =
        UriIndex::build(stored.base, static_cast<uint32_t>(renditions.size()), audioUris);
    stored.footprint += variants.capacity() * sizeof(StoredPlaylist::Variant) +
                        renditions.capacity() * sizeof(StoredPlaylist::Rendition) +
                        stored.variants.bytes() + stored.audioRenditions.bytes();
    return;
  }
  auto& segments = stored.segments;
  const auto media = ManifestParser::readMediaManifest(
      data, url, [&](const std::shared_ptr<const Tag>& tag, std::string_view lastLine) {
        const auto* segment = dynamic_cast<const EXTINF*>(tag.get());
        if (segment == nullptr) return;
        // A tag where the URI should be (a byte range written before it) names no segment.
        const bool named = !segment->uri().starts_with("#");
        segments.push_back({named ? spanOf(text, lastLine, segment->uri()) : StoredUriSpan{},
                            segment->value(), false});
      });
  if (!media) {
    segments = {};
    return;
  }
  stored.isMedia = true;
  if (media->tags().mediaSequence()) {
    stored.firstSequenceNumber = media->tags().mediaSequence()->value();
  }
  segments.shrink_to_fit();
  // One URL served in byte ranges stands for several segments: none of them can be told apart
  // by URL, so none gets an identity. The URL stays known so that a lookup stops here.
  std::vector<UriIndex::Entry> entries;
  stored.segmentsByUrl = UriIndex::build(stored.base, static_cast<uint32_t>(segments.size()),
                                         stored.urisOf(segments), &entries);
  for (size_t i = 0; i < segments.size(); ++i) {
    segments[i].identifiable = entries[i] == UriIndex::Entry::unique;
  }
  stored.footprint +=
      segments.capacity() * sizeof(StoredPlaylist::Segment) + stored.segmentsByUrl.bytes();
}

ManifestController::Stored ManifestController::storeManifest(const Data& data, const Url& url,
                                                             const std::optional<Url>& finalUrl,
                                                             std::optional<uint64_t> fetchedIn) {
  auto stale = [&fetchedIn](const State& state) {
    return fetchedIn && *fetchedIn != state.generation;
  };
  if (stale(*snapshot())) return Stored::stale;
  // Bytes that are not UTF-8 cannot be a playlist; they are not stored, so what is stored stays.
  if (!isUtf8(data.view())) return Stored::notText;
  const Data cleaned = removeNotUsedExtraTagsFromManifest(data);
  const std::string key = url.normalizedString();
  const Url& base = finalUrl ? *finalUrl : url;
  auto refuse = [&](size_t bytes) {
    OmbreliaLogger::error("Playlist of " + std::to_string(data.size()) +
                              " bytes not served: stored, it would take " + std::to_string(bytes) +
                              " bytes, more than the " + std::to_string(settings_.maxBytes) +
                              " bytes the playlist store holds",
                          OLogModule::proxy);
    return Stored::tooLarge;
  };
  // Its text alone passing the budget, it is not even read. Spans into it take 32 bits.
  if (cleaned.size() > settings_.maxBytes ||
      cleaned.size() > std::numeric_limits<uint32_t>::max()) {
    return refuse(cleaned.size());
  }
  // The primary one is the first playlist stored, or the primary fetched again. A master also
  // replaces a primary that is not one: after cleanup() the previous player may still reload its
  // media playlist before the next player asks for its master, and a viewer restarted under a
  // running player first sees a reload. A stream with no master keeps its first playlist.
  bool mayBeMaster = hasVariantLine(cleaned.view());
  auto primaryFor = [&key, &mayBeMaster](const State& state) {
    return !state.primary || state.primary->key == key ||
           (mayBeMaster && !state.primary->listsVariants());
  };

  // Parsing a large playlist takes long: it runs outside the locks, so lookups and the storing
  // of other playlists go on meanwhile. Should another store change which role this playlist
  // takes (two first playlists at once), it is read again for its new role.
  bool isPrimary = primaryFor(*snapshot());
  for (;;) {
    // A master's resolutions are kept beside it, one text per variant; found before it is read,
    // so that what finding them holds for a moment is gone by then.
    std::vector<std::string> resolutions;
    if (isPrimary) resolutions = manifestModifier_.getResolutions(cleaned);
    auto stored = std::make_shared<StoredPlaylist>(Manifest(url, cleaned), key, base);
    read(*stored, isPrimary);
    platform::FreedMemory::giveBack(cleaned.size());
    // A variant line that reads as no variant (a broken master) gives no identity either: it
    // takes no primary's place for it.
    if (isPrimary && !stored->listsVariants()) mayBeMaster = false;
    for (const std::string& resolution : resolutions) {
      stored->footprint += sizeof(std::string) + resolution.capacity();
    }
    if (stored->footprint > settings_.maxBytes) return refuse(stored->footprint);

    std::lock_guard writeLock(writeMutex_);
    const std::shared_ptr<const State> current = snapshot();
    if (stale(*current)) return Stored::stale;
    if (primaryFor(*current) != isPrimary) {
      isPrimary = !isPrimary;
      continue;
    }
    // Lookups read versions against the primary: a version that does not fit beside it is not
    // stored, so that the store holds the primary and at least the playlist the player loaded
    // last, within its budget.
    const size_t primaryBytes = current->primary ? current->primary->footprint : 0;
    if (!isPrimary && stored->footprint > settings_.maxBytes - primaryBytes) {
      return refuse(primaryBytes + stored->footprint);
    }
    auto next = std::make_shared<State>(*current);
    if (isPrimary) {
      next->primary = std::move(stored);
    } else {
      auto& versions = next->versions;
      versions.erase(std::remove_if(versions.begin(), versions.end(),
                                    [&](const auto& v) { return v->key == key; }),
                     versions.end());
      versions.push_back(std::move(stored));
    }
    trim(*next);
    std::lock_guard stateLock(stateMutex_);
    state_ = std::move(next);
    if (isPrimary) resolutions_ = std::move(resolutions);
    return Stored::yes;
  }
}

void ManifestController::trim(State& state) const {
  // Past the count or the byte budget, versions go. A new version always fits beside the
  // primary; a new primary may not fit beside the versions, and then even the newest goes: the
  // player loads it again, and the budget holds whichever changed.
  auto& versions = state.versions;
  size_t bytes = state.primary ? state.primary->footprint : 0;
  for (const auto& version : versions) bytes += version->footprint;
  auto over = [&] {
    return versions.size() > settings_.maxPlaylists || bytes > settings_.maxBytes;
  };
  auto dropAt = [&](auto at) {
    bytes -= (*at)->footprint;
    return versions.erase(at);
  };
  // First the versions the master does not name as a variant or rendition: they give no segment
  // an identity. Such are the previous video's, its player still reloading after cleanup();
  // however large, they cannot push out the playlists of the video now played.
  if (state.primary && state.primary->listsVariants()) {
    const StoredPlaylist& master = *state.primary;
    for (auto it = versions.begin(); it != versions.end() && over();) {
      const std::string& key = (*it)->key;
      const bool named = master.find(master.variants, master.variantsByBandwidth, key) ||
                         master.find(master.audioRenditions, master.renditions, key);
      it = named ? it + 1 : dropAt(it);
    }
  }
  // Then the oldest first.
  while (!versions.empty() && over()) dropAt(versions.begin());
}

std::vector<SegmentInfo> ManifestController::getSegmentInfo(const Url& segmentURL,
                                                            std::optional<uint64_t> in) const {
  std::vector<SegmentInfo> result;
  const std::shared_ptr<const State> state = snapshot();
  if (in && *in != state->generation) return result;
  if (!state->primary || !state->primary->isMaster) return result;
  const StoredPlaylist& master = *state->primary;
  const std::string key = segmentURL.normalizedString();

  for (auto it = state->versions.rbegin(); it != state->versions.rend(); ++it) {
    const StoredPlaylist& version = **it;
    if (!version.isMedia || !version.firstSequenceNumber) continue;
    const auto found = version.find(version.segmentsByUrl, version.segments, key);
    if (!found) continue;

    // The playlist that holds the segment decides; older ones are not looked at.
    std::optional<SegmentInfo> kind;
    if (auto q = master.find(master.variants, master.variantsByBandwidth, version.key)) {
      const auto& variant = master.variantsByBandwidth[*q];
      kind = SegmentInfo(SegmentType::video, variant.bandwidth, master.bestBandwidth,
                         variant.resolution, static_cast<int64_t>(*q), 0, 0);
    } else if (auto q = master.find(master.audioRenditions, master.renditions, version.key)) {
      kind = SegmentInfo(SegmentType::audio, 0, master.bestBandwidth, std::nullopt,
                         static_cast<int64_t>(*q), 0, 0);
    }
    const size_t first = *found;
    // The first element must be the requested segment itself: without an identity of its own,
    // a follower would be taken for it.
    if (!kind || !version.segments[first].identifiable) return result;

    const auto followers = static_cast<uint64_t>(configuredFollowers());
    const size_t available = version.segments.size() - first - 1;
    const size_t last = first + static_cast<size_t>(std::min<uint64_t>(followers, available));
    for (size_t i = first; i <= last; ++i) {
      const auto& segment = version.segments[i];
      if (!segment.identifiable) continue;
      int64_t number = 0;
      if (__builtin_add_overflow(*version.firstSequenceNumber, static_cast<int64_t>(i), &number)) {
        continue;
      }
      result.emplace_back(kind->type(), kind->bandwidth(), kind->bestBandwidth(),
                          kind->resolution(), kind->targetQuality(), number, segment.duration);
    }
    return result;
  }
  return result;
}

int64_t ManifestController::lastManifestSegments() const {
  const std::shared_ptr<const State> state = snapshot();
  if (state->versions.empty()) return 0;
  return static_cast<int64_t>(state->versions.back()->segments.size());
}

std::vector<std::string> ManifestController::resolutions() const {
  std::lock_guard lock(stateMutex_);
  return resolutions_;
}

uint64_t ManifestController::generation() const { return snapshot()->generation; }

void ManifestController::cleanup() {
  std::lock_guard writeLock(writeMutex_);
  std::lock_guard stateLock(stateMutex_);
  auto next = std::make_shared<State>();
  next->generation = state_->generation + 1;
  state_ = std::move(next);
}

std::optional<Manifest> ManifestController::primaryManifest() const {
  const std::shared_ptr<const State> state = snapshot();
  if (!state->primary) return std::nullopt;
  return state->primary->manifest;
}

std::vector<Manifest> ManifestController::versions() const {
  const std::shared_ptr<const State> state = snapshot();
  std::vector<Manifest> out;
  out.reserve(state->versions.size());
  for (const auto& version : state->versions) out.push_back(version->manifest);
  return out;
}

std::shared_ptr<const ManifestController::State> ManifestController::snapshot() const {
  std::lock_guard lock(stateMutex_);
  return state_;
}

}  // namespace ombrelia
