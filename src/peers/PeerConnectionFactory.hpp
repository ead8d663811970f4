#pragma once
// Any thread: the shared factory and its override are guarded by a lock.

#include <cstddef>
#include <memory>

#include "datachannel/DCConfiguration.hpp"
#include "peers/RTCPeerConnection.hpp"

namespace ombrelia {

// Makes the peer connections of WebRTC clients.
class PeerConnectionFactory {
 public:
  virtual ~PeerConnectionFactory() = default;

  // None when the framework refuses to make the connection.
  virtual std::shared_ptr<RTCPeerConnection> create(const datachannel::DCConfiguration& config) = 0;
  // Descriptors a connection made now with `config` would hold at most, until its transports
  // are gone.
  virtual size_t socketsFor(const datachannel::DCConfiguration& config) const = 0;

  // The library's data-channel framework, unless the seam below names another.
  static std::shared_ptr<PeerConnectionFactory> shared();
  // Internal seam for tests and the demo: a scripted framework, or the real one bound to
  // loopback without ICE servers; none restores the default.
  static void overrideShared(std::shared_ptr<PeerConnectionFactory> factory);
};

}  // namespace ombrelia
