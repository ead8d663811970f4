#pragma once
// Requests: the HTTP server's request threads, several at once. Completions: whatever thread
// the loader or the download controller completes on.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <ombrelia/Url.hpp>

#include "proxy/HTTPLoader.hpp"

namespace ombrelia {

class AnalyticsFeed;
class DownloadController;
class OriginCredentials;

// Dispatches every proxied request once: counts the requests in flight, marks a request
// critical when the plug-in is off or requests pile up, and hands it to the download controller
// or straight to its own HTTP loader.
class PluginActivator : public std::enable_shared_from_this<PluginActivator> {
 public:
  // Three requests in flight, this one included, make a general or segment request critical.
  static constexpr int kMaxParallelRequests = 3;
  // So does being at least the third request in a row that found another in flight.
  static constexpr int kAgglomerationThreshold = 2;

  using Completion = HTTPLoader::Completion;
  // Builds the download controller; tests hand in their own.
  using ControllerFactory = std::function<std::shared_ptr<DownloadController>()>;

  // `credentials` go with every origin request of the activator and of the controller it
  // builds; none when absent.
  [[nodiscard]] static std::shared_ptr<PluginActivator> create(
      std::string videoID, std::string clientID, std::shared_ptr<AnalyticsFeed> analyticsService,
      ControllerFactory controllerFactory = nullptr,
      std::shared_ptr<OriginCredentials> credentials = nullptr);

  // `cancellation` is the player's request's: once cancelled, the request no longer counts as
  // in flight, and the work for it stops (HTTPLoader says how each kind of fetch ends).
  using Cancellation = HTTPLoader::Cancellation;
  void generalData(const Url& url, Completion completion,
                   std::optional<std::string> range = std::nullopt,
                   Cancellation cancellation = nullptr);
  void playlistData(const Url& playlistURL, Completion completion,
                    Cancellation cancellation = nullptr);
  void segmentData(const Url& segmentURL, Completion completion,
                   std::optional<std::string> range = std::nullopt,
                   Cancellation cancellation = nullptr);

  int parallelRequestCounter() const;
  int agglomerationCounter() const;
  std::shared_ptr<DownloadController> downloadController() const;
  // The application has cleaned its proxy up: the download controller goes at once, and with it
  // the signalling connection and the peer engine, which would otherwise live on beside the
  // next video's while a request of an accepted connection is in flight; the peers its
  // signalling connection negotiated leave the shared peer list now, even while such a request
  // still holds the controller. What is still asked goes straight to the origin.
  void retire();

 private:
  PluginActivator(std::string videoID, std::string clientID,
                  std::shared_ptr<AnalyticsFeed> analyticsService,
                  ControllerFactory controllerFactory,
                  std::shared_ptr<OriginCredentials> credentials);
  // Counts the request and tells whether it is critical.
  bool countRequest(const Url& url);
  std::shared_ptr<DownloadController> controllerCreatingIfActivated();
  // Decrements the counter exactly once: when the request completes (its body, if it still
  // arrives, has ended), or when its player goes away, whichever comes first.
  Completion counted(Completion completion, const Cancellation& cancellation);

  const std::string videoID_;
  const std::string clientID_;
  const std::shared_ptr<AnalyticsFeed> analyticsService_;
  const std::shared_ptr<OriginCredentials> credentials_;
  const std::shared_ptr<HTTPLoader> httpLoader_;

  mutable std::mutex counterMutex_;  // guards the two counters
  int parallelRequestCounter_ = 0;
  int agglomerationCounter_ = 0;

  const ControllerFactory controllerFactory_;

  // Guards the three fields below. Never held while the controller is built: building starts the
  // signalling client and the peer engine, and every request takes this lock.
  mutable std::mutex controllerMutex_;
  std::condition_variable controllerBuilt_;
  bool buildingController_ = false;
  bool retired_ = false;
  std::shared_ptr<DownloadController> downloadController_;
};

}  // namespace ombrelia
