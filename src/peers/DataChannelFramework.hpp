#pragma once
// Any thread: the settings are fixed at construction.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/PeerConnectionFactory.hpp"

namespace ombrelia {

// Peer connections of the library's own data-channel framework (src/datachannel).
class DataChannelFramework : public PeerConnectionFactory {
 public:
  // Values that replace the client's own in every configuration, for tests and the demo, which
  // run without STUN servers and bind ICE to loopback.
  struct Settings {
    std::optional<std::vector<std::string>> iceServers;
    std::optional<std::string> bindAddress;
  };

  DataChannelFramework() = default;
  explicit DataChannelFramework(Settings settings) : settings_(std::move(settings)) {}

  // No ICE servers and host candidates on 127.0.0.1 only.
  static Settings loopbackSettings();

  std::shared_ptr<RTCPeerConnection> create(const datachannel::DCConfiguration& config) override;
  size_t socketsFor(const datachannel::DCConfiguration& config) const override;

 private:
  datachannel::DCConfiguration adjusted(const datachannel::DCConfiguration& config) const;

  const Settings settings_{};
};

}  // namespace ombrelia
