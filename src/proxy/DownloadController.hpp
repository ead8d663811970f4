#pragma once
// Requests: the HTTP server's request threads. Completions: the HTTP client's delegate queue or
// thread, the main queue (peer answers) or the calling thread; storing runs on the global queue.

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/Url.hpp>

#include "protocol/Decision.hpp"
#include "protocol/PeerType.hpp"
#include "proxy/HTTPLoader.hpp"

namespace ombrelia {

class AnalyticsFeed;
class DecisionController;
class OriginCredentials;
class P2PLoader;
class SignalingClient;

// Answers the proxied requests of one video once the plug-in is active: playlists over HTTP
// into the manifest store, segments from the segment store, a peer or the origin.
class DownloadController : public std::enable_shared_from_this<DownloadController> {
 public:
  using Completion = HTTPLoader::Completion;
  // The player's request's: once cancelled, the work for it stops (see HTTPLoader).
  using Cancellation = HTTPLoader::Cancellation;
  // What reading a playlist into the store holds at its peak beside its body, measured on the
  // store alone (bench_playlist --stages): the parser reads the text where it stands, so what is
  // left per byte is the copy cleaned of CR LF line ends, keys and dates (one byte a byte).
  static constexpr size_t kStoreBytesPerPlaylistByte = 1;
  // A master's RESOLUTION texts are held four times while it is read: in the list of
  // resolutions found first, in the variant's tag beside the tag's own line, and in the record
  // kept. Its worst shape, one variant whose resolution is the whole master, with CR LF line
  // ends so that the cleaned copy is one more, peaked at 5.0 bytes a byte (48 MB: 240 MB); one
  // variant line of 4.4 million attributes at 1.0, as its tag keeps only those it reads.
  static constexpr size_t kStoreBytesPerMasterByte = 4;
  // Per line, a view of each while it is parsed, each entry's record and its place in the
  // index: 36 bytes a line for 262,140 segments of 4-byte URIs (4 MB); a master, whose every
  // line may be a variant, sorted by resolution too: 92 for 524,287 variant tags (25.7 MB).
  static constexpr size_t kStoreBytesPerMediaLine = 40;
  static constexpr size_t kStoreBytesPerMasterLine = 96;
  // The playlist's URL and where its fetch ended, read and kept in several forms: a 40,000-byte
  // path cost 10 bytes a byte.
  static constexpr size_t kStoreBytesPerUrlByte = 12;
  // What reading `playlist` into the store holds at its peak, beside its body, where `urlBytes`
  // are those of its URL and of where its fetch ended.
  static size_t storingBytes(std::string_view playlist, size_t urlBytes);

  // `credentials` go with every origin request; none when absent.
  [[nodiscard]] static std::shared_ptr<DownloadController> create(
      std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
      std::shared_ptr<OriginCredentials> credentials = nullptr);
  // The same over a signalling client of the caller's, not yet connected (tests script its
  // transport).
  [[nodiscard]] static std::shared_ptr<DownloadController> create(
      std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
      std::shared_ptr<OriginCredentials> credentials,
      std::shared_ptr<SignalingClient> signalClient);

  void generalData(const Url& url, Completion completion,
                   std::optional<std::string> range = std::nullopt,
                   Cancellation cancellation = nullptr);
  void playlistData(const Url& playlistURL, Completion completion,
                    Cancellation cancellation = nullptr);
  // `range` is the player's Range header: any range other than the whole resource bypasses the
  // stores and the peers.
  void segmentData(const Url& segmentURL, bool critical, Completion completion,
                   std::optional<std::string> range = std::nullopt,
                   Cancellation cancellation = nullptr);

  // Stores a whole 200 playlist off the HTTP client's delegate queue, within its share of the
  // playlist work budget, counts its bytes, then answers; anything else is answered as it came.
  // Once cancelled, it stops before storing and answers nothing. `fetchedIn` is the playlist
  // store's generation when the fetch started: one cleanup() has ended since is answered, not
  // stored.
  void storePlaylistThenAnswer(const Url& playlistURL, HTTPLoader::Response response,
                               Completion completion, Cancellation cancellation = nullptr,
                               std::optional<uint64_t> fetchedIn = std::nullopt);

  // The source that delivered the oldest completed segment of the history.
  static std::optional<Decision> getFirstSegmentDecision();

  const std::shared_ptr<DecisionController>& decisionController() const {
    return decisionController_;
  }
  const std::shared_ptr<P2PLoader>& p2pLoader() const { return p2pLoader_; }
  // Its manager is cleaned up: the peers its signalling connection negotiated leave the shared
  // peer list at once, though the controller itself lives on while work for accepted
  // connections is in flight (OmbreliaDecision::retirePeers()).
  void retirePeers();

  // True when a Range header asks for the whole resource ("bytes=0-", as ffmpeg sends on every
  // request) or there is none.
  static bool isWholeResource(const std::optional<std::string>& range);

 private:
  DownloadController(std::string videoID, std::shared_ptr<AnalyticsFeed> analyticsService,
                     std::shared_ptr<SignalingClient> signalClient, std::string clientID,
                     std::shared_ptr<OriginCredentials> credentials);

  // Stores a whole 200 segment from the origin and files it as done.
  void recordHTTPResponse(const Url& segmentURL, const std::optional<SegmentInfo>& info,
                          const HTTPLoader::Response& response);
  void handleP2PResponse(const Url& segmentURL, const SegmentInfo& info, Data data,
                         std::string contentType, std::optional<PeerType> peerType,
                         const Completion& completion);
  void requestOverHTTP(const Url& segmentURL, const std::optional<SegmentInfo>& info,
                       Completion completion, Cancellation cancellation);
  void saveData(const std::optional<SegmentInfo>& segmentInfo, const std::optional<Data>& data,
                const std::optional<std::string>& contentType, std::optional<PeerType> peerType,
                const Url& segmentURL, bool isHttp);

  // Called as a playlist fetch starts; the playlist store's generation to store it in. Segments
  // are known by video identifier, and this controller's is its video's alone: a fetch in a
  // later generation (the application kept its ProxyManager across ManifestManager::cleanup()
  // for another video) ends its sharing, told in one error line, as the next video's segments
  // would be stored, announced and uploaded as the previous one's.
  uint64_t playlistFetchStarts();
  // The generation the controller's video is identified in: the first it fetched a playlist or
  // looked a segment up in. Segments of any other get no identity from it.
  uint64_t boundGeneration(uint64_t current);
  static constexpr uint64_t kUnbound = std::numeric_limits<uint64_t>::max();

  const std::shared_ptr<AnalyticsFeed> analyticsService_;
  const std::shared_ptr<HTTPLoader> httpLoader_;
  const std::string videoID_;
  std::shared_ptr<DecisionController> decisionController_;
  std::shared_ptr<P2PLoader> p2pLoader_;
  std::atomic<uint64_t> generation_{kUnbound};
  std::atomic<bool> switchTold_{false};
};

}  // namespace ombrelia
