#pragma once
// start/stop/reverseProxyURL: the application's thread. Handlers: the HTTP server's threads;
// their answers may be sent from the HTTP client's delegate queue or thread.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/ProxyStartError.hpp>
#include <ombrelia/Url.hpp>

#include "proxy/HTTPLoader.hpp"
#include "store/HLSManifestModifier.hpp"

namespace ombrelia {

class AnalyticsFeed;
class OriginCredentials;
class PluginActivator;
class WebServer;
class WebServerRequest;
class WebServerResponse;

// The local reverse proxy the player reads from: three GET handlers (segments, playlists,
// everything else) that recover the origin URL from each local URL, hand the request to the
// plug-in activator and answer with what it returns; playlists are pinned to one variant and
// rewritten so every URI points back here.
class HLSProxyServer : public std::enable_shared_from_this<HLSProxyServer> {
 public:
  static constexpr std::string_view kPlaylistFileType = "m3u8";
  static constexpr std::string_view kSegmentFileTypes = "mp4|ts|m4s|aac";
  // The port startServer() listens on.
  static constexpr uint16_t kDefaultPort = 8080;
  // Connections the system completes before the proxy accepts them: nginx's default.
  static constexpr int kListenBacklog = 511;

  [[nodiscard]] static std::shared_ptr<HLSProxyServer> create(
      std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService);
  // Stops listening: dropping the proxy frees its port.
  ~HLSProxyServer();
  HLSProxyServer(const HLSProxyServer&) = delete;
  HLSProxyServer& operator=(const HLSProxyServer&) = delete;

  // Listens on `port` on the loopback addresses only (0 lets the system choose); why not when it
  // cannot (logged). Does nothing while listening or in the background; started there, it
  // listens once the application comes back.
  std::optional<ProxyStartError> start(uint16_t port);
  void stop();
  // Why the proxy could not listen again when the application came back to the foreground (the
  // port was taken meanwhile); absent while it listens, and until start() or stop() is called.
  std::optional<ProxyStartError> resumeFailure() const;
  // The port the proxy listens on, written into local URLs; absent whenever it does not listen
  // (before start(), when listening failed, in the background, after stop()), so that no local
  // URL can lead the player to whatever else holds the port.
  std::optional<int> port() const;

  // The local URL for an origin URL, read as browsers read it; absent before start(), for a URL
  // that is not http(s) as browsers read one, or for one too long to serve (logged). The URL's
  // user name and password stay with the proxy, for its requests to that origin.
  std::optional<Url> reverseProxyURL(const Url& originURL) const;

  const std::shared_ptr<PluginActivator>& pluginActivator() const { return pluginActivator_; }

  // The three path patterns, matched case-insensitively against the decoded path.
  static std::string generalPathPattern();
  static std::string playlistPathPattern();
  static std::string segmentPathPattern();

  // The answer to the player for what the delivery returned: the origin's status, body, type and
  // range; 500 when nothing came back.
  static std::shared_ptr<WebServerResponse> responseFor(const HTTPLoader::Response& response);
  // True when a general answer is in fact a playlist (served from a path without ".m3u8").
  static bool looksLikePlaylist(const HTTPLoader::Response& response);
  // The answer for a segment body still arriving: passed on piece by piece as it comes.
  static std::shared_ptr<WebServerResponse> streamedResponseFor(const HTTPLoader::Response& r);

 private:
  HLSProxyServer(std::string videoID, std::string clientID,
                 std::shared_ptr<AnalyticsFeed> analyticsService);
  // What a handler does once the request is known to be served: the server, the request, its
  // origin URL and the completion.
  using Dispatch =
      std::function<void(const std::shared_ptr<HLSProxyServer>&, const WebServerRequest&,
                         const Url&, std::function<void(std::shared_ptr<WebServerResponse>)>)>;
  // Registers a GET handler that refuses foreign hosts and requests without an origin URL.
  void addHandler(const std::string& pattern, Dispatch dispatch);
  void addRequestHandlers();
  void addGeneralHandler();
  void addPlaylistHandler();
  void addSegmentHandler();
  // Null (and the refusal) when the request cannot be served; else its origin URL.
  std::optional<Url> originURL(const WebServerRequest& request) const;
  static bool hostIsLoopback(const WebServerRequest& request);
  // The port listened on, else the last one.
  int rewritePort() const;
  // Pins a playlist answer to the configured variant (a master playlist's; others pass) once its
  // share of the playlist work budget has room for what pinning holds, then rewrites it against
  // `base` once it has room for what rewriting holds, then answers the player in the pieces it
  // was rewritten in; 500 (logged) when the rewritten text would be too large. Stops, answering
  // nobody, once its player has gone.
  void rewriteThenAnswer(HTTPLoader::Response response, const Url& base,
                         HTTPLoader::Cancellation cancellation,
                         std::function<void(std::shared_ptr<WebServerResponse>)> completion);
  void rewritePinnedThenAnswer(HTTPLoader::Response response, const Url& base,
                               HTTPLoader::Cancellation cancellation,
                               std::function<void(std::shared_ptr<WebServerResponse>)> completion);
  // Rewrites within the share taken, `length` the text's when it was measured (else `most`, what
  // it may take at most, when worked out already), then answers.
  void rewriteThenAnswerAs(HTTPLoader::Response response, const Url& base,
                           HTTPLoader::Cancellation cancellation,
                           std::function<void(std::shared_ptr<WebServerResponse>)> completion,
                           std::optional<size_t> length, std::optional<size_t> most = std::nullopt);
  // A playlist answer of `pieces`, with the origin's status and range, holding its share of the
  // budget until written.
  static std::shared_ptr<WebServerResponse> playlistAnswerFor(const HTTPLoader::Response& r,
                                                              std::vector<Data> pieces);

  const std::shared_ptr<WebServer> webServer_;
  // Shared with the activator's loaders, which send them to their origin.
  const std::shared_ptr<OriginCredentials> credentials_;
  const std::shared_ptr<PluginActivator> pluginActivator_;
  const HLSManifestModifier manifestModifier_{};
  // The port playlists are rewritten with: the last one listened on, kept when the proxy stops,
  // so that an answer still in flight points the player at the port it was using, not at the
  // default one.
  mutable std::atomic<int> rewritePort_{kDefaultPort};
  // The port the last start() asked for, which a failure to listen again names.
  std::atomic<int> askedPort_{kDefaultPort};
};

}  // namespace ombrelia
