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
  // kSockets, unless the test set another count.
  size_t socketsFor(const datachannel::DCConfiguration& config) const override;
  // A real connection gathering on one address holds two: its socket and its component's
  // context.
  static constexpr size_t kSockets = 2;
  // From now on each connection counts as holding `sockets` descriptors, as one gathering on
  // `sockets - 1` local addresses does.
  void setSockets(size_t sockets);

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
  size_t sockets_ = kSockets;
  std::vector<std::weak_ptr<FakePeerConnection>> connections_;
  std::optional<datachannel::DCConfiguration> lastConfig_;
  const std::shared_ptr<FakePeerConnection::HeldTransports> held_ =
      std::make_shared<FakePeerConnection::HeldTransports>();
};

}  // namespace ombrelia::test
