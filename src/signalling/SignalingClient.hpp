#pragma once
// Any thread: sends may come from any thread; transport events arrive on the transport's
// delegate queue and are passed on there; the ping timer fires on the main queue.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/NotificationCenter.hpp"
#include "platform/Timer.hpp"
#include "platform/Uuid.hpp"
#include "protocol/SdpType.hpp"
#include "signalling/SignalClientDelegate.hpp"
#include "signalling/WebSocketProvider.hpp"

namespace ombrelia {

class AnalyticsInitMessage;
class AnalyticsMessage;

// The library's signalling connection as the rest of the system sees it: builds the outgoing
// JSON messages, pings the tracker, and passes the transport's events to its delegate. It parses
// nothing it receives.
class SignalingClient final : public WebSocketProviderDelegate,
                              public std::enable_shared_from_this<SignalingClient> {
 public:
  // Trackers drop clients that stay silent for a minute; a ping just under it keeps us listed.
  static constexpr std::chrono::seconds kPingInterval{59};

  // Registers the "LeaveGroup", "AnalyticsInitMessage" and "AnalyticsMessage" observers on the
  // default notification centre; does not connect.
  [[nodiscard]] static std::shared_ptr<SignalingClient> create(
      std::shared_ptr<WebSocketProvider> webSocket);
  ~SignalingClient() override;

  const std::shared_ptr<WebSocketProvider>& webSocket() const { return webSocket_; }
  std::shared_ptr<SignalClientDelegate> delegate() const;
  // Held weakly.
  void setDelegate(std::weak_ptr<SignalClientDelegate> delegate);

  // Connects the transport. The first call starts the one ping timer; later calls keep it, so
  // reconnections never multiply the pings.
  void connect();

  // A message that cannot be written (a text that is not UTF-8) is logged and not sent.
  void sendInit(const std::string& videoID, const std::string& pubKey, const std::string& clientID);
  void sendGroupRequest(int64_t bitrate, int64_t targetQuality, int64_t currentSegmentNumber);
  void sendConnectionRequestDescription(const Uuid& uuid, const std::string& sdp, SdpType type);
  // Without a mid the candidate carries "0", the mid every reader accepts.
  void sendConnectionRequestCandidate(const Uuid& uuid, const std::string& candidate,
                                      const std::optional<std::string>& sdpMid,
                                      int32_t sdpMLineIndex);
  void sendLeaveGroup();
  void sendAnalyticsInit(const AnalyticsInitMessage& message);
  void sendAnalytics(const AnalyticsMessage& message);

  void webSocketDidConnect(WebSocketProvider& webSocket) override;
  void webSocketDidDisconnect(WebSocketProvider& webSocket) override;
  void webSocket(WebSocketProvider& webSocket, const Data& didReceiveData) override;
  void webSocket(WebSocketProvider& webSocket, const std::string& didReceiveString) override;

 private:
  explicit SignalingClient(std::shared_ptr<WebSocketProvider> webSocket);
  void registerObservers();
  void ping();
  void sendObject(const nlohmann::ordered_json& object);

  const std::shared_ptr<WebSocketProvider> webSocket_;
  mutable std::mutex mutex_;  // guards delegate_ and pingTimer_
  std::weak_ptr<SignalClientDelegate> delegate_;
  std::shared_ptr<platform::Timer> pingTimer_;
  std::vector<platform::ObserverToken> observers_;  // written once, in create()
};

}  // namespace ombrelia
