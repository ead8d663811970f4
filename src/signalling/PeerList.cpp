#include "signalling/PeerList.hpp"

namespace ombrelia {

PeerList& PeerList::shared() {
  static PeerList* list = new PeerList();  // lives until the process ends
  return *list;
}

std::vector<Peer> PeerList::peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

void PeerList::setPeers(std::vector<Peer> peers) {
  std::lock_guard lock(mutex_);
  peers_ = std::move(peers);
}

std::optional<std::string> PeerList::personalUUID() const {
  std::lock_guard lock(mutex_);
  return personalUUID_;
}

void PeerList::updatePersonalUUID(std::string uuid) {
  std::lock_guard lock(mutex_);
  personalUUID_ = std::move(uuid);
}

}  // namespace ombrelia
