#pragma once
// Any thread: creation and the test's read-outs under one lock.

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "peers/PeerConnectionFactory.hpp"
#include "support/FakePeerConnection.hpp"

namespace ombrelia::test {

// Hands out scripted connections and remembers them weakly, so a test sees when a client has
// let its connection go.
class FakePeerConnectionFactory : public PeerConnectionFactory {
 public:
  std::shared_ptr<RTCPeerConnection> create(const datachannel::DCConfiguration& config) override;

  // Every later create() answers none, as a framework that cannot make a certificate does.
  void refuse(bool refusing);
  // Connections made from now on refuse every remote description (FakePeerConnection).
  void refuseDescriptions(bool refusing);
  // While holding, connections dropped keep their transports, as real ones do for a while after
  // a close, until releaseTransports() lets them all go.
  void holdTransports(bool holding);
  void releaseTransports();
  // The connections made so far, in order; expired once their client has closed.
  std::vector<std::weak_ptr<FakePeerConnection>> connections() const;
  // The live connection made last.
  std::shared_ptr<FakePeerConnection> last() const;
  std::optional<datachannel::DCConfiguration> lastConfig() const;

 private:
  mutable std::mutex mutex_;  // guards the fields below
  bool refusing_ = false;
  bool refusingDescriptions_ = false;
  std::vector<std::weak_ptr<FakePeerConnection>> connections_;
  std::optional<datachannel::DCConfiguration> lastConfig_;
  const std::shared_ptr<FakePeerConnection::HeldTransports> held_ =
      std::make_shared<FakePeerConnection::HeldTransports>();
};

}  // namespace ombrelia::test
