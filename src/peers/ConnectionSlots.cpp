#include "peers/ConnectionSlots.hpp"

namespace ombrelia {

ConnectionSlots::Slot::~Slot() {
  if (const auto slots = slots_.lock()) slots->release(peer_);
}

std::shared_ptr<ConnectionSlots> ConnectionSlots::create() {
  return std::shared_ptr<ConnectionSlots>(new ConnectionSlots());
}

Expected<std::shared_ptr<ConnectionSlots::Slot>, ConnectionSlots::Refusal> ConnectionSlots::take(
    const Uuid& peer, size_t totalLimit, size_t perPeerLimit) {
  {
    std::lock_guard lock(mutex_);
    const auto it = byPeer_.find(peer);
    const size_t ofPeer = it == byPeer_.end() ? 0 : it->second;
    if (ofPeer >= perPeerLimit) return Refusal{Refusal::Reason::peerBusy, total_, ofPeer};
    if (total_ >= totalLimit) return Refusal{Refusal::Reason::tooMany, total_, ofPeer};
    ++total_;
    ++byPeer_[peer];
  }
  return std::make_shared<Slot>(weak_from_this(), peer);
}

size_t ConnectionSlots::total() const {
  std::lock_guard lock(mutex_);
  return total_;
}

void ConnectionSlots::release(const Uuid& peer) {
  std::lock_guard lock(mutex_);
  --total_;
  if (const auto it = byPeer_.find(peer); it != byPeer_.end() && --it->second == 0) {
    byPeer_.erase(it);
  }
}

}  // namespace ombrelia
