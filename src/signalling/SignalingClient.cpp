#include "signalling/SignalingClient.hpp"

namespace ombrelia {

std::shared_ptr<SignalingClient> SignalingClient::create(Url endpoint) {
  return std::shared_ptr<SignalingClient>(new SignalingClient(std::move(endpoint)));
}

void SignalingClient::setDelegate(std::weak_ptr<SignalClientDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void SignalingClient::connect() {}

void SignalingClient::sendInit(const std::string&, const std::string&, const std::string&) {}

void SignalingClient::sendGroupRequest(int64_t, int64_t, int64_t) {}

}  // namespace ombrelia
