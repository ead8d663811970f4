#pragma once
// Any thread: every operation reads or replaces the list as a whole under the list's lock.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "signalling/Peer.hpp"

namespace ombrelia {

// The group of peers watching the same video, and this client's personal identifier.
class PeerList {
 public:
  static PeerList& shared();

  // A consistent copy of the group at one moment.
  std::vector<Peer> peers() const;
  void setPeers(std::vector<Peer> peers);
  std::optional<std::string> personalUUID() const;
  void updatePersonalUUID(std::string uuid);

 private:
  PeerList() = default;
  mutable std::mutex mutex_;
  std::vector<Peer> peers_;
  std::optional<std::string> personalUUID_;
};

}  // namespace ombrelia
