#pragma once
// Any thread: pure functions.

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

#include "platform/CancellationToken.hpp"
#include "platform/HttpClient.hpp"

namespace ombrelia {

class OriginCredentials;
class RewrittenText;
class UrlReference;

// Rewrites a playlist so that every URI in it points back at the local proxy: URI lines and
// every URI="..." attribute of tag lines are read as players read them (UrlReference), resolved
// against the playlist's own URL (the final URL of its fetch), then turned into reverse-proxy
// URLs.
class PlaylistRewriter {
 public:
  // The most a rewritten playlist may take: as much as the proxy takes from an origin as one
  // body, so that one playlist answer holds no more than one origin answer may. Every URI
  // becomes its resolved URL twice over, and a short URI may resolve to a long URL: an empty one
  // to the playlist's own URL, a relative one under a token in the base path. The rewritten text
  // grows with the number of URIs times the length of the playlist's URL, so no factor of the
  // playlist's size bounds it: 10,000 relative segments under a 2,000-character path token (a
  // signed CDN URL) make 41 MB from 309 KB. Real playlists stay within this: 10,000 segments
  // each signed with a 2,000-character query make 42 MB, three dozen URIs of 16 KiB 1.2 MB.
  static constexpr size_t kMaxRewrittenBytes = platform::HttpClient::kMaxBodyBytes;
  // The lines one playlist logs about its URIs, one line each (left out, left as written, no
  // local URL): a playlist of half a million unusable URIs, reloaded every few seconds, would
  // otherwise write a line for each at every reload. The rest are counted in one line at the
  // end.
  static constexpr size_t kMaxLoggedUris = 16;

  // Credentials written into the playlist's URIs go to `credentials` (when given), never into
  // the rewritten lines.
  explicit PlaylistRewriter(int port, OriginCredentials* credentials = nullptr)
      : port_(port), credentials_(credentials) {}

  // The playlist with its lines joined by "\n". URIs that cannot be resolved stay as written,
  // and each is logged; one that may hold a user name and password is left out. Absent, with one
  // log line, when the rewritten text would pass kMaxRewrittenBytes: where it may
  // (mostRewrittenBytes()), its length is measured first, without building anything, so that a
  // playlist refused costs no more than its own text. Absent too, without a line, once
  // `cancellation` is cancelled: its player has gone.
  std::optional<std::string> rewrite(
      std::string_view playlist, const Url& base,
      const platform::CancellationToken* cancellation = nullptr) const;
  // The same, in the pieces it was built in (a few MiB each at most), for a caller that sends
  // them one after another: joined, the text would be held twice for a moment. `length`, when
  // given, is what rewrittenLength() gave for the same playlist and base: it is not measured
  // again, and the text is built into room made once for it. `most`, when given, is what
  // mostRewrittenBytes() gave for them: a caller that took room for it has walked the text
  // once already, and a second walk of a playlist of tens of MB is a tenth of its rewriting.
  std::optional<std::vector<std::string>> rewriteInPieces(
      std::string_view playlist, const Url& base,
      const platform::CancellationToken* cancellation = nullptr,
      std::optional<size_t> length = std::nullopt, std::optional<size_t> most = std::nullopt) const;
  // How long the rewritten playlist would be, worked out line by line without building it, or
  // more than `stopPast` once it has passed that; absent once `cancellation` is cancelled.
  std::optional<size_t> rewrittenLength(
      std::string_view playlist, const Url& base,
      size_t stopPast = std::numeric_limits<size_t>::max(),
      const platform::CancellationToken* cancellation = nullptr) const;

  // The most the rewritten text of `playlist` may take, found by counting its URIs and their
  // bytes, without resolving any: the text once, and each URI again for what it becomes: each of
  // its bytes twice where nothing escapes it (letters, digits, "-._~!$()*+,;:@/?"), else ten
  // times (a raw byte a browser escapes as "%FF" is written "%25FF" in the local path and again
  // in the origin URL's item), and the local form of the playlist's own URL, which a URI that
  // names no host of its own keeps at most, with a few separators.
  static size_t mostRewrittenBytes(std::string_view playlist, const Url& base);
  // What rewriting holds besides its text at its peak: the piece being filled, the playlist's
  // URL read once with each "/" of its path measured, and one URI's URLs at a time.
  static size_t workingBytes(const Url& base);

  std::string processLine(std::string_view line, const Url& base) const;

 private:
  // What a line is rewritten against: the playlist's URL, read once as players read it. Each
  // URI then costs in proportion to its own length and to what it is rewritten into, however
  // long the playlist's URL: nothing reads or copies that URL whole for one URI.
  struct Base;

  // Lines rewritten between two looks at the cancellation: a look is one atomic load, and a
  // line at most a few microseconds, so a player that has gone stops the work within a moment.
  static constexpr size_t kLinesPerCancellationCheck = 256;
  // Whether one more line about a URI of the playlist `base` belongs to may be written; counts
  // it.
  static bool mayLogUri(const Base& base);

  // What becomes of one reference, decided without building anything.
  struct Reading;
  // Bytes a URI may take beyond its own bytes and the local form of the playlist's URL: "&"
  // before the item, a second leading "/" escaped, and a fragment's "#" in the local URL and
  // "%23" in the item.
  static constexpr size_t kMostBytesPerUriBeyond = 8;
  // And a URI that names its own host, beyond the local URL's fixed part: the playlist's scheme
  // ("//host"), a host written shorter than browsers write it ("//1" is 0.0.0.1, an IPv4
  // address at most 15 bytes), and the path "/" of a URL that writes none.
  static constexpr size_t kMostBytesOfOwnHostBeyond = 24;
  // What a byte of a URI that something escapes may take, rewritten: see mostRewrittenBytes().
  static constexpr size_t kMostBytesPerUriByte = 10;
  // The most a URI's local URL takes beyond what its bytes count (two each where nothing
  // escapes them, else kMostBytesPerUriByte) and kMostBytesPerUriBeyond: one that keeps the
  // playlist's URL, and one that names its own host.
  static size_t mostLocalBytesOfBase(const UrlReference& references);
  static size_t mostLocalBytesOfOwnHost();

  // Each appends the rewritten line to `out`; a tag line of many URIs stops once `out` has
  // passed its bound.
  void processLine(std::string_view line, const Base& base, RewrittenText& out) const;
  void lineByReplacingURIs(std::string_view line, const Base& base, RewrittenText& out) const;
  // The length processLine() appends for the line.
  size_t lineLength(std::string_view line, const Base& base) const;
  // `measured`: with the figures of its local URL even where it is surely served.
  Reading read(std::string_view reference, const Base& base, bool measured = false) const;
  // The local URL for one reference, or absent when it must stay as written (another scheme
  // such as skd: or data:, or not a valid reference), or empty when it must be left out.
  std::optional<std::string> proxiedReference(std::string_view reference, const Base& base) const;
  // Builds the text, stopping within the line that would pass `out`'s bound; false when
  // cancelled or passed (logged).
  bool build(std::string_view playlist, const Base& base, RewrittenText& out,
             const platform::CancellationToken* cancellation) const;
  std::optional<size_t> measure(std::string_view playlist, const Base& base, size_t stopPast,
                                const platform::CancellationToken* cancellation) const;
  // Calls `step(line, first)` with each line of `text` until it returns false, looking at the
  // cancellation every kLinesPerCancellationCheck lines; false once cancelled.
  template <typename Step>
  static bool walkLines(std::string_view text, const platform::CancellationToken* cancellation,
                        Step&& step);
  static void logTooLarge(size_t playlistBytes);

  int port_;
  OriginCredentials* credentials_;
};

}  // namespace ombrelia
