#include "store/ManifestController.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <ombrelia/OmbreliaConfig.hpp>

#include "platform/LineSplitter.hpp"
#include "platform/url/UrlReference.hpp"
#include "platform/url/Utf8.hpp"
#include "store/ManifestParser.hpp"

namespace ombrelia {

// What a stored playlist says about segments, worked out once when it is stored.
struct ManifestController::StoredPlaylist {
  struct Variant {
    int64_t bandwidth;
    std::optional<std::string> resolution;
    std::optional<std::string> url;  // normalised; absent when the URI does not resolve
  };
  struct Rendition {
    bool isAudio;
    std::optional<std::string> url;
  };
  struct Segment {
    bool identifiable;  // false for an entry sharing its URL, or whose URI line is a tag
    double duration;
  };

  StoredPlaylist(Manifest manifest, std::string key)
      : manifest(std::move(manifest)), key(std::move(key)) {}

  Manifest manifest;
  std::string key;  // the normalised requested URL
  size_t footprint = 0;  // bytes held for it, counted against the store's budget

  // Read as a master playlist (the primary one only).
  bool isMaster = false;
  std::vector<Variant> variantsByBandwidth;  // ascending, ties in playlist order
  std::vector<Rendition> renditions;         // every rendition, in playlist order
  int64_t bestBandwidth = 0;

  // Read as a media playlist (versions only).
  bool isMedia = false;
  std::optional<int64_t> firstSequenceNumber;
  std::vector<Segment> segments;
  std::unordered_map<std::string, size_t> segmentIndexByUrl;
};

struct ManifestController::State {
  std::shared_ptr<const StoredPlaylist> primary;
  std::vector<std::shared_ptr<const StoredPlaylist>> versions;  // oldest first
};

namespace {

// Read as the rewriting reads it, so that a segment is found under the URL the player was given.
// That URL never carries a user name or password (the proxy keeps them), so neither does the
// key of a URI that the playlist wrote with them.
std::optional<std::string> resolve(const UrlReference& references, std::string_view uri) {
  if (uri.empty()) return std::nullopt;
  auto resolved = references.resolve(uri);
  if (!resolved) return std::nullopt;
  Url url = std::move(resolved).value();
  url.setUserInfo(std::nullopt);
  return url.normalizedString();
}

int64_t configuredFollowers() {
  if (!OmbreliaConfig::isConfigured()) return 0;
  return std::max<int64_t>(0, OmbreliaConfig::shared().maxPreloadedSegments());
}

}  // namespace

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
  std::string out;
  out.reserve(data.size());
  bool first = true;
  for (std::string_view line : LineSplitter::split(data.view())) {
    if (line.starts_with("#EXT-X-PROGRAM-DATE-TIME") || line.starts_with("#EXT-X-KEY")) continue;
    if (!first) out.push_back('\n');
    out.append(line);
    first = false;
  }
  return Data(std::move(out));
}

namespace {

// What one playlist costs the store: its cleaned text plus what its parse keeps per entry (the
// resolved URL in the lookup index and the entry itself).
constexpr size_t kBytesPerIndexedEntry = 64;

}  // namespace

void ManifestController::read(StoredPlaylist& stored, bool asMaster, const Url& base) {
  const Url& url = stored.manifest.url();
  const UrlReference references(base);
  stored.footprint = stored.manifest.data().size();
  if (asMaster) {
    if (auto master = ManifestParser::parseMasterManifest(stored.manifest.data(), url)) {
      stored.isMaster = true;
      for (const auto& variant : master->tags().streamTags()) {
        stored.variantsByBandwidth.push_back(
            {variant->bandwidth(), variant->resolution(), resolve(references, variant->uri())});
        stored.bestBandwidth = std::max(stored.bestBandwidth, variant->bandwidth());
      }
      std::stable_sort(stored.variantsByBandwidth.begin(), stored.variantsByBandwidth.end(),
                       [](const auto& a, const auto& b) { return a.bandwidth < b.bandwidth; });
      for (const auto& rendition : master->tags().mediaTags()) {
        stored.renditions.push_back({rendition->mediaType() == EXT_X_MEDIA::MediaType::audio,
                                     resolve(references, rendition->uri())});
      }
      for (const auto& variant : stored.variantsByBandwidth)
        stored.footprint += kBytesPerIndexedEntry + (variant.url ? variant.url->size() : 0);
      for (const auto& rendition : stored.renditions)
        stored.footprint += kBytesPerIndexedEntry + (rendition.url ? rendition.url->size() : 0);
    }
    return;
  }
  auto media = ManifestParser::parseMediaManifest(stored.manifest.data(), url);
  if (!media) return;
  stored.isMedia = true;
  const auto& tags = media->tags();
  if (tags.mediaSequence()) stored.firstSequenceNumber = tags.mediaSequence()->value();
  std::unordered_set<std::string> shared;
  std::vector<std::optional<std::string>> urls;
  urls.reserve(tags.mediaSegments().size());
  for (const auto& segment : tags.mediaSegments()) {
    // A tag where the URI should be (a byte range written before it) names no segment.
    std::optional<std::string> segmentUrl;
    if (!segment->uri().starts_with("#")) segmentUrl = resolve(references, segment->uri());
    if (segmentUrl) {
      stored.footprint += segmentUrl->size();
      auto [it, inserted] = stored.segmentIndexByUrl.emplace(*segmentUrl, stored.segments.size());
      if (!inserted) shared.insert(*segmentUrl);
    }
    stored.footprint += kBytesPerIndexedEntry;
    stored.segments.push_back({segmentUrl.has_value(), segment->value()});
    urls.push_back(std::move(segmentUrl));
  }
  // One URL served in byte ranges stands for several segments: none of them can be told
  // apart by URL, so none gets an identity. The URL stays known so that a lookup stops here.
  for (size_t i = 0; i < urls.size(); ++i) {
    if (urls[i] && shared.count(*urls[i]) > 0) stored.segments[i].identifiable = false;
  }
}

void ManifestController::storeManifest(const Data& data, const Url& url,
                                       const std::optional<Url>& finalUrl) {
  // Bytes that are not UTF-8 cannot be a playlist; they are not stored, so what is stored stays.
  if (!Utf8::isValid(data.view())) return;
  const Data cleaned = removeNotUsedExtraTagsFromManifest(data);
  const std::string key = url.normalizedString();
  const Url& base = finalUrl ? *finalUrl : url;
  // A master playlist fetched again replaces the primary one rather than becoming a version.
  auto primaryFor = [&key](const State& state) {
    return !state.primary || state.primary->key == key;
  };

  // Parsing a large playlist takes long: it runs outside the locks, so lookups and the storing
  // of other playlists go on meanwhile. Should another store change which role this playlist
  // takes (two first playlists at once), it is read again for its new role.
  bool isPrimary = primaryFor(*snapshot());
  for (;;) {
    auto stored = std::make_shared<StoredPlaylist>(Manifest(url, cleaned), key);
    read(*stored, isPrimary, base);
    std::vector<std::string> resolutions;
    if (isPrimary) resolutions = manifestModifier_.getResolutions(cleaned);

    std::lock_guard writeLock(writeMutex_);
    const std::shared_ptr<const State> current = snapshot();
    if (primaryFor(*current) != isPrimary) {
      isPrimary = !isPrimary;
      continue;
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
      // Oldest first out, past the count or the byte budget; the newest always stays, so the
      // playlist the player loaded last is searchable whatever its size.
      size_t bytes = next->primary ? next->primary->footprint : 0;
      for (const auto& version : versions) bytes += version->footprint;
      size_t drop = 0;
      while (versions.size() - drop > 1 &&
             (versions.size() - drop > settings_.maxPlaylists || bytes > settings_.maxBytes)) {
        bytes -= versions[drop]->footprint;
        ++drop;
      }
      versions.erase(versions.begin(), versions.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    std::lock_guard stateLock(stateMutex_);
    state_ = std::move(next);
    if (isPrimary) resolutions_ = std::move(resolutions);
    return;
  }
}

std::vector<SegmentInfo> ManifestController::getSegmentInfo(const Url& segmentURL) const {
  std::vector<SegmentInfo> result;
  const std::shared_ptr<const State> state = snapshot();
  if (!state->primary || !state->primary->isMaster) return result;
  const StoredPlaylist& master = *state->primary;
  const std::string key = segmentURL.normalizedString();

  for (auto it = state->versions.rbegin(); it != state->versions.rend(); ++it) {
    const StoredPlaylist& version = **it;
    if (!version.isMedia || !version.firstSequenceNumber) continue;
    auto found = version.segmentIndexByUrl.find(key);
    if (found == version.segmentIndexByUrl.end()) continue;

    // The playlist that holds the segment decides; older ones are not looked at.
    std::optional<SegmentInfo> kind;
    for (size_t q = 0; q < master.variantsByBandwidth.size() && !kind; ++q) {
      const auto& variant = master.variantsByBandwidth[q];
      if (variant.url == version.key) {
        kind = SegmentInfo(SegmentType::video, variant.bandwidth, master.bestBandwidth,
                           variant.resolution, static_cast<int64_t>(q), 0, 0);
      }
    }
    for (size_t q = 0; q < master.renditions.size() && !kind; ++q) {
      const auto& rendition = master.renditions[q];
      if (rendition.isAudio && rendition.url == version.key) {
        kind = SegmentInfo(SegmentType::audio, 0, master.bestBandwidth, std::nullopt,
                           static_cast<int64_t>(q), 0, 0);
      }
    }
    const size_t first = found->second;
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

void ManifestController::cleanup() {
  std::lock_guard writeLock(writeMutex_);
  std::lock_guard stateLock(stateMutex_);
  state_ = std::make_shared<const State>();
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
