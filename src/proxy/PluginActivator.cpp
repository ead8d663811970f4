#include "proxy/PluginActivator.hpp"

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include <atomic>

#include "platform/OnceCompletion.hpp"
#include "proxy/DownloadController.hpp"
#include "proxy/PlaylistContent.hpp"
#include "store/ManifestController.hpp"

namespace ombrelia {

std::shared_ptr<PluginActivator> PluginActivator::create(
    std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
    ControllerFactory controllerFactory, std::shared_ptr<OriginCredentials> credentials) {
  auto activator = std::shared_ptr<PluginActivator>(
      new PluginActivator(std::move(videoID), std::move(clientID), std::move(analyticsService),
                          std::move(controllerFactory), std::move(credentials)));
  if (OmbreliaConfig::shared().activated()) activator->controllerCreatingIfActivated();
  return activator;
}

PluginActivator::PluginActivator(std::string videoID, std::string clientID,
                                 std::shared_ptr<AnalyticsFeed> analyticsService,
                                 ControllerFactory controllerFactory,
                                 std::shared_ptr<OriginCredentials> credentials)
    : videoID_(std::move(videoID)),
      clientID_(std::move(clientID)),
      analyticsService_(std::move(analyticsService)),
      credentials_(std::move(credentials)),
      httpLoader_(
          HTTPLoader::create(analyticsService_, platform::HttpClient::shared(), credentials_)),
      controllerFactory_(std::move(controllerFactory)) {}

int PluginActivator::parallelRequestCounter() const {
  std::lock_guard lock(counterMutex_);
  return parallelRequestCounter_;
}

int PluginActivator::agglomerationCounter() const {
  std::lock_guard lock(counterMutex_);
  return agglomerationCounter_;
}

std::shared_ptr<DownloadController> PluginActivator::downloadController() const {
  std::lock_guard lock(controllerMutex_);
  return downloadController_;
}

void PluginActivator::retire() {
  std::shared_ptr<DownloadController> dropped;
  {
    std::lock_guard lock(controllerMutex_);
    retired_ = true;
    dropped = std::move(downloadController_);
  }
  // Outside the lock: its teardown closes the signalling connection, and removing its peers
  // posts to the peer engines. The peers go now, not with the controller: a request in flight
  // may keep it alive beside the next video's, whose group requests and room for peers they
  // would take.
  if (dropped) dropped->retirePeers();
}

std::shared_ptr<DownloadController> PluginActivator::controllerCreatingIfActivated() {
  std::unique_lock lock(controllerMutex_);
  if (retired_) return nullptr;
  if (downloadController_ || !OmbreliaConfig::shared().activated()) return downloadController_;
  if (buildingController_) {
    // Created once: a request that finds it being built uses that one.
    controllerBuilt_.wait(lock, [this] { return !buildingController_; });
    return downloadController_;
  }
  buildingController_ = true;
  lock.unlock();
  auto controller = controllerFactory_ ? controllerFactory_()
                                       : DownloadController::create(
                                             videoID_, clientID_, analyticsService_, credentials_);
  lock.lock();
  // Retired meanwhile: the controller goes with the request that built it, and its peers now.
  const bool retired = retired_;
  if (!retired) downloadController_ = controller;
  buildingController_ = false;
  controllerBuilt_.notify_all();
  lock.unlock();
  if (retired && controller) controller->retirePeers();
  return controller;
}

bool PluginActivator::countRequest(const Url& url) {
  const bool activated = OmbreliaConfig::shared().activated();
  int active = 0;
  bool critical = false;
  {
    std::lock_guard lock(counterMutex_);
    active = ++parallelRequestCounter_;
    if (parallelRequestCounter_ < kAgglomerationThreshold) {
      agglomerationCounter_ = 0;
    } else {
      ++agglomerationCounter_;
    }
    critical = !activated || parallelRequestCounter_ >= kMaxParallelRequests ||
               agglomerationCounter_ > kAgglomerationThreshold;
  }
  OmbreliaLogger::debug(
      "active: " + std::to_string(active) + " lastURL: " + url.lastPathComponent(),
      OLogModule::parallelRequestCounter);
  return critical;
}

PluginActivator::Completion PluginActivator::counted(Completion completion,
                                                     const Cancellation& cancellation) {
  std::weak_ptr<PluginActivator> weak = weak_from_this();
  auto released = std::make_shared<std::atomic<bool>>(false);
  auto release = [weak, released] {
    if (released->exchange(true)) return;
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->counterMutex_);
      --self->parallelRequestCounter_;
    }
  };
  // A player that has gone no longer crowds the requests that follow, whatever is still done
  // for it.
  if (cancellation) cancellation->onCancel(release);
  return platform::OnceCompletion<HTTPLoader::Response>::wrap(
      [release, completion = std::move(completion)](HTTPLoader::Response response) {
        // A body that still arrives keeps its request in flight: the player has not got it yet,
        // so it still crowds the ones that follow.
        if (response.stream) {
          response.stream->whenEnded(std::move(release));
        } else {
          release();
        }
        completion(std::move(response));
      },
      HTTPLoader::Response{});
}

void PluginActivator::generalData(const Url& url, Completion completion,
                                  std::optional<std::string> range, Cancellation cancellation) {
  const bool critical = countRequest(url);
  completion = counted(std::move(completion), cancellation);
  if (critical) {
    // No controller is made on this path, but a playlist served from a path without ".m3u8"
    // still goes into the store of the one that exists.
    std::weak_ptr<PluginActivator> weak = weak_from_this();
    const bool whole = DownloadController::isWholeResource(range);
    const uint64_t fetchedIn = ManifestController::shared().generation();
    httpLoader_->requestGeneral(
        url,
        [weak, url, whole, cancellation, fetchedIn,
         completion = std::move(completion)](HTTPLoader::Response r) mutable {
          auto self = weak.lock();
          auto controller = self ? self->downloadController() : nullptr;
          if (controller && whole && OmbreliaConfig::shared().activated() &&
              PlaylistContent::looksLikePlaylist(r)) {
            controller->storePlaylistThenAnswer(url, std::move(r), std::move(completion),
                                                cancellation, fetchedIn);
            return;
          }
          completion(std::move(r));
        },
        std::move(range), cancellation);
    return;
  }
  if (auto controller = controllerCreatingIfActivated()) {
    controller->generalData(url, std::move(completion), std::move(range), std::move(cancellation));
  } else {
    httpLoader_->requestGeneral(url, std::move(completion), std::move(range),
                                std::move(cancellation));
  }
}

void PluginActivator::playlistData(const Url& playlistURL, Completion completion,
                                   Cancellation cancellation) {
  countRequest(playlistURL);  // playlists weigh on others' criticality but are never critical
  completion = counted(std::move(completion), cancellation);
  if (!OmbreliaConfig::shared().activated()) {
    httpLoader_->requestPlaylist(playlistURL, std::move(completion), std::move(cancellation));
    return;
  }
  if (auto controller = controllerCreatingIfActivated()) {
    controller->playlistData(playlistURL, std::move(completion), std::move(cancellation));
  } else {
    httpLoader_->requestPlaylist(playlistURL, std::move(completion), std::move(cancellation));
  }
}

void PluginActivator::segmentData(const Url& segmentURL, Completion completion,
                                  std::optional<std::string> range, Cancellation cancellation) {
  const bool critical = countRequest(segmentURL);
  completion = counted(std::move(completion), cancellation);
  if (auto controller = controllerCreatingIfActivated()) {
    controller->segmentData(segmentURL, critical, std::move(completion), std::move(range),
                            std::move(cancellation));
  } else {
    httpLoader_->requestSegment(segmentURL, std::move(completion), std::move(range),
                                std::move(cancellation));
  }
}

}  // namespace ombrelia
