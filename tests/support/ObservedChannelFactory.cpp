#include "support/ObservedChannelFactory.hpp"

namespace ombrelia::test {

namespace {

template <typename Counter>
class ObservedChannel final : public RTCDataChannel {
 public:
  ObservedChannel(std::shared_ptr<RTCDataChannel> inner, std::shared_ptr<Counter> counter)
      : inner_(std::move(inner)), counter_(std::move(counter)) {}

  void onMessage(std::function<void(std::string)> text, std::function<void(Data)> binary) override {
    inner_->onMessage(std::move(text), std::move(binary));
  }
  void onOpen(std::function<void()> callback) override {
    inner_->onOpen([callback = std::move(callback), counter = counter_] {
      callback();
      {
        std::lock_guard lock(counter->waiter.mutex());
        ++counter->opened;
      }
      counter->waiter.notify();
    });
  }
  void onClosed(std::function<void()> callback) override { inner_->onClosed(std::move(callback)); }
  std::string label() const override { return inner_->label(); }
  void close() override { inner_->close(); }
  bool sendText(const std::string& text) override { return inner_->sendText(text); }
  bool sendBinary(const Data& bytes) override { return inner_->sendBinary(bytes); }

 private:
  const std::shared_ptr<RTCDataChannel> inner_;
  const std::shared_ptr<Counter> counter_;
};

template <typename Counter>
class ObservedConnection final : public RTCPeerConnection {
 public:
  ObservedConnection(std::shared_ptr<RTCPeerConnection> inner, std::shared_ptr<Counter> counter)
      : inner_(std::move(inner)), counter_(std::move(counter)) {}

  void onLocalDescription(std::function<void(std::string)> callback) override {
    inner_->onLocalDescription(std::move(callback));
  }
  void onLocalCandidate(std::function<void(std::string, std::string)> callback) override {
    inner_->onLocalCandidate(std::move(callback));
  }
  void onDataChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) override {
    inner_->onDataChannel([callback = std::move(callback),
                           counter = counter_](std::shared_ptr<RTCDataChannel> ch) {
      callback(ch ? std::make_shared<ObservedChannel<Counter>>(std::move(ch), counter) : nullptr);
    });
  }
  void onStateChange(std::function<void(datachannel::DCIceState)> callback) override {
    inner_->onStateChange(std::move(callback));
  }
  void onTransportsGone(std::function<void()> callback) override {
    inner_->onTransportsGone(std::move(callback));
  }
  std::shared_ptr<RTCDataChannel> createDataChannel(const std::string& label) override {
    auto channel = inner_->createDataChannel(label);
    if (!channel) return nullptr;
    return std::make_shared<ObservedChannel<Counter>>(std::move(channel), counter_);
  }
  bool setRemoteDescription(const std::string& sdp) override {
    return inner_->setRemoteDescription(sdp);
  }
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override {
    return inner_->addRemoteCandidate(candidate, mid);
  }

 private:
  const std::shared_ptr<RTCPeerConnection> inner_;
  const std::shared_ptr<Counter> counter_;
};

}  // namespace

ObservedChannelFactory::ObservedChannelFactory(std::shared_ptr<PeerConnectionFactory> inner)
    : inner_(std::move(inner)) {}

std::shared_ptr<RTCPeerConnection> ObservedChannelFactory::create(
    const datachannel::DCConfiguration& config) {
  auto connection = inner_->create(config);
  if (!connection) return nullptr;
  {
    std::lock_guard lock(mutex_);
    made_.push_back(connection);
  }
  return std::make_shared<ObservedConnection<Counter>>(std::move(connection), counter_);
}

std::shared_ptr<RTCPeerConnection> ObservedChannelFactory::inner(size_t index) const {
  std::lock_guard lock(mutex_);
  return index < made_.size() ? made_[index].lock() : nullptr;
}

bool ObservedChannelFactory::waitForOpenChannels(size_t count, std::chrono::milliseconds bound) {
  return counter_->waiter.waitFor(bound, [&] { return counter_->opened >= count; });
}

}  // namespace ombrelia::test
