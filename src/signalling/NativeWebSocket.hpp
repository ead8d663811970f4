#pragma once
// Any thread: every operation locks the transport's state; delegate events run on its serial
// delegate queue, which stands in for the URL session's delegate queue.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/OLogModule.hpp>

#include "platform/Backoff.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MonotonicClock.hpp"
#include "platform/WebSocketConnection.hpp"
#include "signalling/WebSocketProvider.hpp"

namespace ombrelia {

// The one signalling connection: chooses the URL (the default endpoint until the service sends
// a tracker list, then the listed trackers in turn), opens it, and reports its events. It never
// reconnects by itself, but a connect() that follows a disconnection waits out a back-off, so a
// tracker that refuses or closes at once cannot drive a tight reconnection loop.
class NativeWebSocket final : public WebSocketProvider,
                              public std::enable_shared_from_this<NativeWebSocket> {
 public:
  // A connection that stayed open this long proves the endpoint healthy: the next retry after
  // it goes out at once again.
  static constexpr std::chrono::seconds kBackoffResetAfter{30};
  // The most of a tracker URL a log line shows: the tracker list comes from the network.
  static constexpr size_t kMaxLoggedUrlBytes = 256;
  // Reasons already told while the tracker stays out of reach: one failure can read as two
  // reasons by turns ("Connection reset by peer", "stream truncated"), which must not make a line
  // per retry. A connection that opens forgets them.
  static constexpr size_t kMaxToldReasons = 4;

  struct Settings {
    platform::WebSocketConnection::Settings connection;
    platform::Backoff::Settings backoff;
  };

  [[nodiscard]] static std::shared_ptr<NativeWebSocket> create(Url url, Settings settings = {});
  ~NativeWebSocket() override;

  std::shared_ptr<WebSocketProviderDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<WebSocketProviderDelegate> delegate) override;
  std::vector<Url> trackerList() const override;
  // Entries whose scheme is neither ws nor wss are dropped with a log line. The open connection
  // stays; the list applies from the next connect(), starting at its first entry.
  void setTrackerList(std::vector<Url> trackerList) override;
  void connect() override;
  // Dropped silently when the bytes are not UTF-8 or no connection is held.
  void send(const Data& data) override;
  void sendAnalytics(const Data& data) override;
  void sendAnalytics(const Data& data, std::function<void()> taken) override;

  const std::shared_ptr<platform::DispatchQueue>& delegateQueue() const { return delegateQueue_; }

 private:
  struct UrlChoice {
    Url url;
    bool fromTrackerList = false;
  };

  NativeWebSocket(Url url, Settings settings);
  UrlChoice chooseUrlLocked();
  void handleTrackerIndexCounterLocked(const UrlChoice& choice);
  static Url appendP2PConfiguration(const Url& trackerURL);
  std::shared_ptr<platform::WebSocketConnection> openLocked(uint64_t generation, const Url& url);
  void openIfCurrent(uint64_t generation, const Url& url);
  void didOpen(uint64_t generation);
  void didClose(uint64_t generation, const std::string& reason, const Url& url);
  // One error line when the tracker cannot be reached, and again only for a reason not yet told
  // since a connection last opened: retries come every few seconds, for as long as it plays.
  void reportUnreachableLocked(const std::string& reason, const Url& url);
  // The tracker URL as a log line shows it: no user name, password or query (which may carry
  // keys), and no longer than kMaxLoggedUrlBytes.
  static std::string shownUrl(const Url& url);
  bool isCurrent(uint64_t generation) const;
  void consumed(uint64_t generation, size_t bytes);
  void sendText(const Data& data, OLogModule module, std::function<void()> taken = nullptr);

  const Url defaultUrl_;
  const Settings settings_;
  const std::shared_ptr<platform::DispatchQueue> delegateQueue_;

  mutable std::mutex mutex_;  // guards every field below
  std::weak_ptr<WebSocketProviderDelegate> delegate_;
  size_t nextTrackerIndex_ = 0;
  std::vector<Url> trackerList_;
  std::shared_ptr<platform::WebSocketConnection> socket_;
  // Bumped by every connect() and every reported end: events of an older connection, and
  // delayed opens planned before, compare it and are ignored.
  uint64_t generation_ = 0;
  platform::Backoff backoff_;
  bool retrying_ = false;  // the last connection ended; the next connect() is a retry
  std::optional<platform::MonotonicClock::time_point> openedAt_;
  // Why the tracker could not be reached, as told since a connection last opened; the oldest
  // goes first past kMaxToldReasons.
  std::vector<std::string> toldReasons_;
};

}  // namespace ombrelia
