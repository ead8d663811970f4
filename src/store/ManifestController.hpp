#pragma once
// Any thread: playlists are stored from the loader's delegate queue and looked up from the HTTP
// server's workers and the analytics timer at once. Readers take an immutable snapshot under a
// short lock; writers are serialised among themselves and publish a new snapshot.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/Manifest.hpp>
#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

#include "store/HLSManifestModifier.hpp"

namespace ombrelia {

// Keeps the playlists fetched for the player and tells what a segment URL is: its type, variant,
// rank among the variants, sequence number and duration, and which segments follow it.
//
// Identity rests on whole URLs: every URI is resolved against the final URL of its playlist's
// fetch, as the proxy's rewriting does, and compared in normalised form. Variants and
// renditions are matched against the URL a media playlist was requested from. No resolved URL
// is kept (UriIndex): a playlist costs the store its text and a few dozen bytes per entry.
class ManifestController {
 public:
  // One entry per playlist URL: a player keeps one playlist per variant and rendition, and
  // ladders stay within a few dozen. Past this the oldest playlist is dropped.
  static constexpr size_t kMaxStoredPlaylists = 64;
  // And the bytes they hold together (text and lookup index): a live playlist with a long window
  // runs to a few MiB, while an origin may send up to 64 MiB per playlist; without a budget 64 of
  // those would pin 4 GiB. Past it versions go, whenever a version or the primary is stored:
  // first those the master does not name, then the oldest. A playlist that alone would take
  // more, or a version that does not fit beside the primary, is not stored at all, and the
  // player gets an error for it. The store keeps a playlist's text and about 40 bytes per entry,
  // whatever its URL's length, so 16,000 segments each signed with a 2,000-character query
  // (31 MiB) are kept.
  static constexpr size_t kMaxStoredBytes = 48u << 20;
  // The segment duration the buffer check and the peer exchange assume, in whole seconds.
  static constexpr int64_t kSegmentDurationSeconds = 6;

  struct Settings {
    size_t maxPlaylists = kMaxStoredPlaylists;
    size_t maxBytes = kMaxStoredBytes;
  };

  static ManifestController& shared();
  ManifestController();
  explicit ManifestController(Settings settings);
  ManifestController(const ManifestController&) = delete;
  ManifestController& operator=(const ManifestController&) = delete;
  ~ManifestController();

  enum class Stored {
    yes,
    notText,   // not UTF-8: nothing stored, what was stays
    tooLarge,  // more than maxBytes once stored (a version: beside the primary): nothing stored
               // (logged), what was stays
    stale,     // fetched for a generation cleanup() has ended: nothing stored, what is stays
  };

  // Counts cleanup() calls: what was fetched or identified in one generation belongs to the
  // video played then, never to the one played after.
  uint64_t generation() const;

  // Keeps a cleaned copy of the playlist. The first playlist stored (after creation or cleanup)
  // is the primary one, read as the master playlist, and a master replaces a primary that names
  // no variant; the others are versions, the latest one per URL. `finalUrl` is where the fetch
  // ended after redirects; URIs resolve against it. `fetchedIn` is the generation the fetch
  // started in: the previous player's playlist, delivered after cleanup(), would otherwise take
  // the next video's place.
  Stored storeManifest(const Data& data, const Url& url,
                       const std::optional<Url>& finalUrl = std::nullopt,
                       std::optional<uint64_t> fetchedIn = std::nullopt);
  // The segment's identity, then those of up to maxPreloadedSegments following segments; empty
  // when no stored playlist identifies it, or when the store is no longer in generation `in`.
  std::vector<SegmentInfo> getSegmentInfo(const Url& segmentURL,
                                          std::optional<uint64_t> in = std::nullopt) const;
  // The number of segments of the playlist stored last; 0 when there is none or it is not a
  // media playlist.
  int64_t lastManifestSegments() const;
  // The RESOLUTION texts of the primary playlist's variants, ascending.
  std::vector<std::string> resolutions() const;
  // Forgets every playlist and starts the next generation; the resolutions stay until the next
  // primary playlist.
  void cleanup();
  static int64_t getSagmentDuration() { return kSegmentDurationSeconds; }

  std::optional<Manifest> primaryManifest() const;
  // Oldest first.
  std::vector<Manifest> versions() const;

 private:
  struct StoredPlaylist;
  struct State;

  std::shared_ptr<const State> snapshot() const;
  // Drops versions until the count and the byte budget hold with the primary: first those the
  // primary does not name, then the oldest.
  void trim(State& state) const;
  static Data removeNotUsedExtraTagsFromManifest(const Data& data);
  // Parses the playlist for the role it takes (master or media) and fills what lookups need.
  static void read(StoredPlaylist& stored, bool asMaster);

  const Settings settings_;
  HLSManifestModifier manifestModifier_;
  std::mutex writeMutex_;          // serialises publishing a store or cleanup (parsing is outside)
  mutable std::mutex stateMutex_;  // guards state_ and resolutions_
  std::shared_ptr<const State> state_;
  std::vector<std::string> resolutions_;
};

}  // namespace ombrelia
