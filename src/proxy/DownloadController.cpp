#include "proxy/DownloadController.hpp"

#include <algorithm>
#include <cctype>

#include <ombrelia/OmbreliaLogger.hpp>

#include "peers/OmbreliaDecision.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/FreedMemory.hpp"
#include "platform/OnceCompletion.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "protocol/AnalyticsFeed.hpp"
#include "proxy/DecisionController.hpp"
#include "proxy/P2PLoader.hpp"
#include "proxy/PlaylistContent.hpp"
#include "proxy/PlaylistWork.hpp"
#include "signalling/SignalingClient.hpp"
#include "signalling/SocketConfig.hpp"
#include "store/ManifestController.hpp"
#include "store/SegmentURLHistory.hpp"
#include "store/VideoStorage.hpp"

namespace ombrelia {
namespace {

// The only answer worth keeping: a whole resource, as asked.
constexpr int kStorableStatus = 200;

std::string typeName(const std::optional<SegmentInfo>& info) {
  return info ? std::string(rawValue(info->type())) : std::string("other");
}

}  // namespace

std::shared_ptr<DownloadController> DownloadController::create(
    std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
    std::shared_ptr<OriginCredentials> credentials) {
  return create(std::move(videoID), std::move(clientID), std::move(analyticsService),
                std::move(credentials),
                SocketConfig::buildSignalingClient(SocketConfig::defaultConfig()));
}

std::shared_ptr<DownloadController> DownloadController::create(
    std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
    std::shared_ptr<OriginCredentials> credentials, std::shared_ptr<SignalingClient> signalClient) {
  return std::shared_ptr<DownloadController>(
      new DownloadController(std::move(videoID), std::move(analyticsService),
                             std::move(signalClient), std::move(clientID), std::move(credentials)));
}

DownloadController::DownloadController(std::string videoID,
                                       std::shared_ptr<AnalyticsFeed> analyticsService,
                                       std::shared_ptr<SignalingClient> signalClient,
                                       std::string clientID,
                                       std::shared_ptr<OriginCredentials> credentials)
    : analyticsService_(std::move(analyticsService)),
      httpLoader_(HTTPLoader::create(analyticsService_, platform::HttpClient::shared(),
                                     std::move(credentials))),
      videoID_(std::move(videoID)) {
  // The peer engine first: the decision connects to the tracker as it is made, and a tracker
  // that answers at once lists the group's peers then. A peer listed before the engine observes
  // the list would never be offered to, or would have no engine to take its messages, and the
  // video would never get a segment from it.
  p2pLoader_ = P2PLoader::create(videoID_, signalClient, analyticsService_);
  decisionController_ =
      std::make_shared<DecisionController>(videoID_, std::move(clientID), signalClient);
}

void DownloadController::retirePeers() { decisionController_->ombreliaDecision()->retirePeers(); }

bool DownloadController::isWholeResource(const std::optional<std::string>& range) {
  if (!range) return true;
  std::string compact;
  for (char c : *range) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      compact.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return compact == "bytes=0-";
}

std::optional<Decision> DownloadController::getFirstSegmentDecision() {
  return SegmentURLHistory::shared().firstCompletedDecision();
}

uint64_t DownloadController::boundGeneration(uint64_t current) {
  uint64_t bound = kUnbound;
  return generation_.compare_exchange_strong(bound, current) ? current : bound;
}

uint64_t DownloadController::playlistFetchStarts() {
  const uint64_t current = ManifestController::shared().generation();
  if (current > boundGeneration(current) && !switchTold_.exchange(true)) {
    OmbreliaLogger::error("The ProxyManager of video \"" + videoID_ +
                              "\" is kept across ManifestManager::cleanup(): it no longer shares "
                              "segments with peers nor stores them, or the next video's would "
                              "be served as this one's; create one ProxyManager per video",
                          OLogModule::downloadController);
  }
  return current;
}

void DownloadController::generalData(const Url& url, Completion completion,
                                     std::optional<std::string> range, Cancellation cancellation) {
  const bool whole = isWholeResource(range);
  const uint64_t fetchedIn = playlistFetchStarts();
  std::weak_ptr<DownloadController> weak = weak_from_this();
  httpLoader_->requestGeneral(
      url,
      [weak, url, whole, cancellation, fetchedIn,
       completion = std::move(completion)](HTTPLoader::Response r) mutable {
        // A playlist served from a path without ".m3u8" is still a playlist: stored like one,
        // or its segments would never get an identity.
        auto self = weak.lock();
        if (self && whole && PlaylistContent::looksLikePlaylist(r)) {
          self->storePlaylistThenAnswer(url, std::move(r), std::move(completion), cancellation,
                                        fetchedIn);
          return;
        }
        completion(std::move(r));
      },
      std::move(range), cancellation);
}

void DownloadController::playlistData(const Url& playlistURL, Completion completion,
                                      Cancellation cancellation) {
  if (decisionController_->playlistDownloadMethod(playlistURL) == Decision::p2p) {
    OmbreliaLogger::error("P2P not implemented for playlist/manifest files",
                          OLogModule::downloadController);
    completion(HTTPLoader::Response{});
    return;
  }
  const uint64_t fetchedIn = playlistFetchStarts();
  std::weak_ptr<DownloadController> weak = weak_from_this();
  httpLoader_->requestPlaylist(
      playlistURL,
      [weak, playlistURL, cancellation, fetchedIn,
       completion = std::move(completion)](HTTPLoader::Response r) mutable {
        if (auto self = weak.lock()) {
          self->storePlaylistThenAnswer(playlistURL, std::move(r), std::move(completion),
                                        cancellation, fetchedIn);
        } else {
          completion(std::move(r));
        }
      },
      cancellation);
}

void DownloadController::storePlaylistThenAnswer(const Url& playlistURL, HTTPLoader::Response r,
                                                 Completion completion, Cancellation cancellation,
                                                 std::optional<uint64_t> fetchedIn) {
  // An error page is passed to the player but never stored: as the first stored playlist it
  // would become the one every segment is looked up in.
  if (!r.data || r.data->empty() || r.statusCode != kStorableStatus) {
    completion(std::move(r));
    return;
  }
  // Parsing a large playlist takes a while; on the HTTP client's one delegate queue it would
  // hold up every other answer (segments of the player and of peers). The player gets the
  // playlist once it is stored, so the segments it then asks for have their identity.
  // Taken before the response goes into the stage: moved from, it holds no work. The stage
  // takes its share of the playlist work budget first: what the store reads of the playlist,
  // beside the body the playlist holds already.
  const std::shared_ptr<PlaylistWork> work = r.playlistWork;
  const size_t stage =
      work ? storingBytes(r.data->view(),
                          playlistURL.toString().size() + r.finalURL(playlistURL).toString().size())
           : 0;
  std::weak_ptr<DownloadController> weak = weak_from_this();
  auto store = [weak, playlistURL, cancellation, fetchedIn, r = std::move(r),
                completion = std::move(completion)]() mutable {
    auto self = weak.lock();
    // A player that has gone no longer needs the playlist stored before its answer, nor the
    // answer: the work stops here, and what the stage held goes back.
    if (cancellation && cancellation->isCancelled()) {
      if (r.playlistWork) r.playlistWork->holdExactly(0);
      completion(HTTPLoader::Response{});
      return;
    }
    if (self) {
      const auto stored = ManifestController::shared().storeManifest(
          *r.data, playlistURL, r.finalURL(playlistURL), fetchedIn);
      self->analyticsService_->addManifestDataReceived(static_cast<int64_t>(r.data->size()));
      // Too large to keep (logged): an error the player may retry, and nothing of the
      // playlist held once it is answered.
      if (stored == ManifestController::Stored::tooLarge) {
        const size_t fetched = r.data->size();
        auto work = std::move(r.playlistWork);
        r = HTTPLoader::Response{};
        if (work) work->holdExactly(0);
        platform::FreedMemory::giveBack(fetched);
        completion(std::move(r));
        return;
      }
    }
    if (r.playlistWork) r.playlistWork->holdExactly(r.data->size());
    completion(std::move(r));
  };
  if (!work) {
    platform::DispatchQueue::global()->async(std::move(store));
    return;
  }
  work->stopWaitingOnceCancelled(cancellation);
  work->hold(stage, [store = std::move(store)]() mutable {
    platform::DispatchQueue::global()->async(std::move(store));
  });
}

size_t DownloadController::storingBytes(std::string_view playlist, size_t urlBytes) {
  // Read as a master or not, a text without a variant costs what a media playlist does.
  const bool master = playlist.find("#EXT-X-STREAM-INF") != std::string_view::npos;
  const size_t lines = PlaylistLines::count(playlist);
  return (kStoreBytesPerPlaylistByte + (master ? kStoreBytesPerMasterByte : 0)) * playlist.size() +
         (master ? kStoreBytesPerMasterLine : kStoreBytesPerMediaLine) * lines +
         kStoreBytesPerUrlByte * urlBytes;
}

void DownloadController::segmentData(const Url& segmentURL, bool critical, Completion completion,
                                     std::optional<std::string> range, Cancellation cancellation) {
  // Whoever waits is answered exactly once, even if a road drops the completion.
  completion = platform::OnceCompletion<HTTPLoader::Response>::wrap(std::move(completion),
                                                                    HTTPLoader::Response{});
  if (!isWholeResource(range)) {
    // Part of a resource: straight to the origin with the player's range, nothing stored.
    httpLoader_->requestSegment(segmentURL, std::move(completion), std::move(range),
                                std::move(cancellation));
    return;
  }

  // Identities of another generation are another video's: none is taken for this one's.
  const std::vector<SegmentInfo> infos = ManifestController::shared().getSegmentInfo(
      segmentURL, boundGeneration(ManifestController::shared().generation()));
  std::optional<SegmentInfo> info;
  if (!infos.empty()) info = infos.front();
  if (info && info->resolution()) analyticsService_->segmentRequested(*info->resolution());
  analyticsService_->setSegmentExtension(segmentURL.pathExtension());

  auto& history = SegmentURLHistory::shared();
  const bool storeTest = critical || history.contains(segmentURL);
  if (storeTest) {
    if (info) {
      if (auto stored = VideoStorage::shared()->getSegment(*info, videoID_)) {
        OmbreliaLogger::info(
            "History " + std::string(rawValue(info->type())) + " segment data received",
            OLogModule::downloadController);
        history.markCompleted(segmentURL, Decision::http);
        HTTPLoader::Response response;
        response.data = stored->data();
        response.contentType = stored->contentType();
        response.statusCode = kStorableStatus;
        completion(std::move(response));
        return;
      }
    }
    requestOverHTTP(segmentURL, info, std::move(completion), cancellation);
    return;
  }

  Decision decision = Decision::http;
  decisionController_->videoOrAudioSegmentMethod(segmentURL, info,
                                                 [&decision](Decision d) { decision = d; });
  history.append(segmentURL, decision);
  if (decision == Decision::http || !info) {
    requestOverHTTP(segmentURL, info, std::move(completion), cancellation);
    return;
  }

  // The main peer request: a body goes to the player; nothing (or a dropped completion) falls
  // back to the origin exactly once. Pending fetches keep the controller alive until they end.
  auto self = shared_from_this();
  const SegmentInfo mainInfo = *info;
  auto onPeer = [self, segmentURL, mainInfo, completion, cancellation](
                    std::optional<Data> data, std::optional<std::string> contentType,
                    std::optional<PeerType> peerType) {
    // An empty body from a peer is no segment: the origin is asked instead, unless the player
    // has gone (HTTPLoader then asks nothing).
    if (data && !data->empty() && contentType) {
      self->handleP2PResponse(segmentURL, mainInfo, std::move(*data), std::move(*contentType),
                              peerType, completion);
    } else {
      self->requestOverHTTP(segmentURL, mainInfo, completion, cancellation);
    }
  };
  p2pLoader_->requestSegment(
      mainInfo, FileRequestType::main,
      platform::OnceCompletion<std::optional<Data>, std::optional<std::string>,
                               std::optional<PeerType>>::wrap(std::move(onPeer), std::nullopt,
                                                              std::nullopt, std::nullopt));

  std::weak_ptr<DownloadController> weak = self;
  for (size_t i = 1; i < infos.size(); ++i) {
    const SegmentInfo following = infos[i];
    p2pLoader_->requestSegment(
        following, FileRequestType::predownload,
        [weak, following, segmentURL](std::optional<Data> data, std::optional<std::string> type,
                                      std::optional<PeerType> peerType) {
          auto controller = weak.lock();
          if (!controller || !data) return;
          // The controller knows no URL of the following segments: they are filed under the
          // request that started them, and found again by identity.
          controller->saveData(following, data, type, peerType, segmentURL, false);
          OmbreliaLogger::info(
              "P2P " + std::string(rawValue(following.type())) + " secondary segment data received",
              OLogModule::downloadController);
        });
  }
}

void DownloadController::requestOverHTTP(const Url& segmentURL,
                                         const std::optional<SegmentInfo>& info,
                                         Completion completion, Cancellation cancellation) {
  // The player reads a 200 body as it arrives from the origin; what is stored, counted and
  // filed as done is only ever the whole body, once the transfer has ended well. A player that
  // leaves partway leaves the transfer to end well for the store, within the HTTP client's
  // budget for bodies in flight, or to be cancelled.
  auto self = shared_from_this();
  httpLoader_->requestStreamedSegment(
      segmentURL, std::move(completion),
      [self, segmentURL, info](const HTTPLoader::Response& response) {
        self->recordHTTPResponse(segmentURL, info, response);
      },
      std::move(cancellation));
}

void DownloadController::recordHTTPResponse(const Url& segmentURL,
                                            const std::optional<SegmentInfo>& info,
                                            const HTTPLoader::Response& response) {
  if (response.statusCode == kStorableStatus) {
    saveData(info, response.data, response.contentType, std::nullopt, segmentURL, true);
  }
  OmbreliaLogger::info("HTTP " + typeName(info) + " segment data received",
                       OLogModule::downloadController);
  SegmentURLHistory::shared().markCompleted(segmentURL, Decision::http);
}

void DownloadController::handleP2PResponse(const Url& segmentURL, const SegmentInfo& info,
                                           Data data, std::string contentType,
                                           std::optional<PeerType> peerType,
                                           const Completion& completion) {
  saveData(info, data, contentType, peerType, segmentURL, false);
  OmbreliaLogger::info("P2P " + std::string(rawValue(info.type())) + " segment data received",
                       OLogModule::downloadController);
  SegmentURLHistory::shared().markCompleted(segmentURL, Decision::p2p);
  HTTPLoader::Response response;
  response.data = std::move(data);
  response.contentType = std::move(contentType);
  response.statusCode = kStorableStatus;
  completion(std::move(response));
}

void DownloadController::saveData(const std::optional<SegmentInfo>& segmentInfo,
                                  const std::optional<Data>& data,
                                  const std::optional<std::string>& contentType,
                                  std::optional<PeerType> peerType, const Url& segmentURL,
                                  bool isHttp) {
  // Only a segment known to the manifest store, with its bytes and type, is kept and counted.
  // An empty body is no segment: stored, it would be announced and served to peers as one.
  if (!segmentInfo || !data || data->empty() || !contentType) return;
  std::weak_ptr<DownloadController> weak = weak_from_this();
  platform::DispatchQueue::global()->async([weak, info = *segmentInfo, bytes = *data,
                                            type = *contentType, peerType, segmentURL, isHttp] {
    auto self = weak.lock();
    if (!self) return;
    // Counted first: once the store announces the segment, its bytes are in the figures too.
    self->analyticsService_->addMediaDataReceived(static_cast<int64_t>(bytes.size()), isHttp, info,
                                                  peerType);
    VideoStorage::shared()->saveData(segmentURL, bytes, type, info, self->videoID_);
  });
}

}  // namespace ombrelia
