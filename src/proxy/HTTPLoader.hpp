#pragma once
// Requests: any thread. Completions: the HTTP client's delegate queue, one at a time (a streamed
// segment's answer: the client's own thread); analytics counts are posted to the main queue.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

#include "platform/CancellationToken.hpp"
#include "platform/HttpBodyStream.hpp"
#include "platform/HttpClient.hpp"

namespace ombrelia {

class AnalyticsFeed;
class OriginCredentials;
class PlaylistWork;

// Fetches playlists, segments and other resources from the origin and counts each request.
class HTTPLoader : public std::enable_shared_from_this<HTTPLoader> {
 public:
  // Content types given to a body whose response named none.
  static constexpr const char* kDefaultGeneralContentType = "application/octet-stream";
  static constexpr const char* kDefaultPlaylistContentType = "application/x-mpegurl";
  static constexpr const char* kDefaultSegmentContentType = "video";

  // What the origin answered. `data` is absent when no response arrived (the request was
  // refused, timed out, cancelled, ...), or when a playlist had more lines than a playlist may
  // (PlaylistContent::kMaxLines, logged); otherwise `statusCode` carries the origin's status,
  // and an error page arrives as a body like any other for the caller to pass on, not store.
  struct Response {
    std::optional<Data> data;
    std::optional<std::string> contentType;
    int statusCode = 0;
    std::optional<std::string> contentRange;
    // The absolute URL that answered, after redirects, without user name and password; absent
    // when it is not one browsers read (then it could not be told from its credentials).
    std::optional<std::string> url;
    // The URL-loading error code of a failed transfer.
    std::optional<int> errorCode;
    // A body still arriving (a streamed 200 segment): `data` is absent, and the stream hands
    // the bytes over as they come, or fails if the transfer breaks off.
    std::shared_ptr<platform::HttpBodyStream> stream;
    // A playlist's share of the budget of playlist work in flight (PlaylistWorkBudget), holding
    // its body; the stages after the fetch take theirs from it, and the answer holds it until
    // it is written. Set for a 200 playlist, for any other answer with a body to a playlist's
    // fetch, and for any answer that looks like a playlist.
    std::shared_ptr<PlaylistWork> playlistWork;

    // The URL that answered, read as players read one (a redirect may name a URL that is not
    // valid as written); `requested` when there is none.
    Url finalURL(const Url& requested) const;
  };
  using Completion = std::function<void(Response)>;

  // Each request carries the `credentials` kept for its origin, if any; the URLs the loader
  // reports (`Response::url`, log lines) never carry any.
  [[nodiscard]] static std::shared_ptr<HTTPLoader> create(
      std::shared_ptr<AnalyticsFeed> analyticsService,
      std::shared_ptr<platform::HttpClient> urlSession = platform::HttpClient::shared(),
      std::shared_ptr<OriginCredentials> credentials = nullptr);

  HTTPLoader(const HTTPLoader&) = delete;
  HTTPLoader& operator=(const HTTPLoader&) = delete;

  // Each returns at once; the completion runs exactly once, later. `range` is a Range header
  // value passed on to the origin. `cancellation` is the player's request's: once cancelled,
  // the transfer ends (one not yet started is never sent), and the completion gets no body.
  using Cancellation = std::shared_ptr<platform::CancellationToken>;
  void requestGeneral(const Url& url, Completion completion,
                      std::optional<std::string> range = std::nullopt,
                      Cancellation cancellation = nullptr);
  // Takes its share of the playlist work budget first, as large as the playlist's body was the
  // last time: the fetch waits for room, and pauses while its body would pass the budget.
  void requestPlaylist(const Url& playlistURL, Completion completion,
                       Cancellation cancellation = nullptr);
  void requestSegment(const Url& segmentURL, Completion completion,
                      std::optional<std::string> range = std::nullopt,
                      Cancellation cancellation = nullptr);
  // A whole segment, answered as its body arrives. `answer` runs exactly once: at the first
  // byte of a 200 body, with `stream` set, or else at the end with the whole response.
  // `finished` runs once at the end with the whole response either way (before `answer` when
  // that one waited for the end). Cancelled, the transfer is abandoned rather than ended: it may
  // still bring the segment whole, for the store, within the HTTP client's limits.
  void requestStreamedSegment(const Url& segmentURL, Completion answer, Completion finished,
                              Cancellation cancellation = nullptr);

 private:
  enum class Kind { general, playlist, segment };

  HTTPLoader(std::shared_ptr<platform::HttpClient> urlSession,
             std::shared_ptr<AnalyticsFeed> analyticsService,
             std::shared_ptr<OriginCredentials> credentials);
  struct Load {
    Kind kind = Kind::general;
    Url url{};
    std::optional<std::string> range{};
    Completion completion{};
    Completion bodyStarted{};
    Cancellation cancellation{};
    // A playlist's share of the budget, which its body draws on as it arrives, past the
    // bytes it took before its fetch started.
    std::shared_ptr<PlaylistWork> playlistWork{};
    size_t playlistBytesTaken = 0;
  };
  void load(Load load);

  const std::shared_ptr<platform::HttpClient> urlSession_;
  const std::shared_ptr<AnalyticsFeed> analyticsService_;
  const std::shared_ptr<OriginCredentials> credentials_;
};

}  // namespace ombrelia
