#include "peers/DataChannelFramework.hpp"

#include "datachannel/DCDataChannel.hpp"
#include "datachannel/DCPeerConnection.hpp"

namespace ombrelia {

namespace {

using datachannel::DCDataChannel;
using datachannel::DCDcEvent;
using datachannel::DCIceState;
using datachannel::DCPeerConnection;

class DCDataChannelAdapter final : public RTCDataChannel {
 public:
  explicit DCDataChannelAdapter(std::shared_ptr<DCDataChannel> channel)
      : channel_(std::move(channel)) {}

  void onMessage(std::function<void(std::string)> text, std::function<void(Data)> binary) override {
    channel_->onMessage(std::move(text), std::move(binary));
  }
  void onOpen(std::function<void()> callback) override {
    channel_->onOpen([callback = std::move(callback)](DCDcEvent) { callback(); });
  }
  void onClosed(std::function<void()> callback) override {
    channel_->onClosed([callback = std::move(callback)](DCDcEvent) { callback(); });
  }
  std::string label() const override { return channel_->label(); }
  void close() override { channel_->close(); }
  bool sendText(const std::string& text) override { return channel_->sendText(text); }
  bool sendBinary(const Data& bytes) override { return channel_->sendBinary(bytes); }
  size_t bufferedAmount() const override { return channel_->bufferedAmount(); }
  size_t unconfirmedAmount() const override { return channel_->unconfirmedAmount(); }
  std::optional<uint32_t> peerReceiveWindow() const override {
    return channel_->peerReceiveWindow();
  }

 private:
  const std::shared_ptr<DCDataChannel> channel_;
};

class DCPeerConnectionAdapter final : public RTCPeerConnection {
 public:
  explicit DCPeerConnectionAdapter(std::shared_ptr<DCPeerConnection> connection)
      : connection_(std::move(connection)) {}

  void onLocalDescription(std::function<void(std::string)> callback) override {
    connection_->onLocalDescription(std::move(callback));
  }
  void onLocalCandidate(std::function<void(std::string, std::string)> callback) override {
    connection_->onLocalCandidate(std::move(callback));
  }
  void onDataChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) override {
    connection_->onDataChannel(
        [callback = std::move(callback)](std::shared_ptr<DCDataChannel> channel) {
          callback(channel ? std::make_shared<DCDataChannelAdapter>(std::move(channel)) : nullptr);
        });
  }
  void onStateChange(std::function<void(DCIceState)> callback) override {
    connection_->onStateChange(std::move(callback));
  }
  void onTransportsGone(std::function<void()> callback) override {
    connection_->onTransportsGone(std::move(callback));
  }
  std::shared_ptr<RTCDataChannel> createDataChannel(const std::string& label) override {
    auto channel = connection_->createDataChannel(label);
    if (!channel) return nullptr;
    return std::make_shared<DCDataChannelAdapter>(std::move(channel));
  }
  bool setRemoteDescription(const std::string& sdp) override {
    return connection_->setRemoteDescription(sdp);
  }
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override {
    return connection_->addRemoteCandidate(candidate, mid);
  }
  void impairSctpForTesting(const datachannel::SctpImpairment& impairment) override {
    connection_->impairSctpForTesting(impairment);
  }

 private:
  const std::shared_ptr<DCPeerConnection> connection_;
};

}  // namespace

DataChannelFramework::Settings DataChannelFramework::loopbackSettings() {
  Settings settings;
  settings.iceServers = std::vector<std::string>{};
  settings.bindAddress = "127.0.0.1";
  return settings;
}

datachannel::DCConfiguration DataChannelFramework::adjusted(
    const datachannel::DCConfiguration& config) const {
  auto adjusted = config;
  if (settings_.iceServers) adjusted.iceServers = *settings_.iceServers;
  if (settings_.bindAddress) adjusted.bindAddress = *settings_.bindAddress;
  return adjusted;
}

size_t DataChannelFramework::socketsFor(const datachannel::DCConfiguration& config) const {
  return DCPeerConnection::socketsFor(adjusted(config));
}

std::shared_ptr<RTCPeerConnection> DataChannelFramework::create(
    const datachannel::DCConfiguration& config) {
  auto connection = DCPeerConnection::create(adjusted(config));
  if (!connection) return nullptr;
  return std::make_shared<DCPeerConnectionAdapter>(std::move(connection));
}

}  // namespace ombrelia
