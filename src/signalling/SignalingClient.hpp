#pragma once
// Any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <ombrelia/Url.hpp>

#include "signalling/SignalClientDelegate.hpp"

namespace ombrelia {

// The library's one signalling connection. Until its WebSocket transport exists it opens
// nothing: connect() is accepted and no event follows.
class SignalingClient {
 public:
  [[nodiscard]] static std::shared_ptr<SignalingClient> create(Url endpoint);

  const Url& endpoint() const { return endpoint_; }
  void setDelegate(std::weak_ptr<SignalClientDelegate> delegate);
  void connect();
  void sendInit(const std::string& videoID, const std::string& pubKey, const std::string& clientID);
  void sendGroupRequest(int64_t bitrate, int64_t targetQuality, int64_t currentSegmentNumber);

 private:
  explicit SignalingClient(Url endpoint) : endpoint_(std::move(endpoint)) {}
  Url endpoint_;
  std::mutex mutex_;
  std::weak_ptr<SignalClientDelegate> delegate_;
};

}  // namespace ombrelia
