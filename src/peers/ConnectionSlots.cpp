#include "peers/ConnectionSlots.hpp"

namespace ombrelia {

ConnectionSlots::Slot::~Slot() {
  if (const auto slots = slots_.lock()) slots->release(peer_, sockets_);
}

std::shared_ptr<ConnectionSlots> ConnectionSlots::create() {
  return std::shared_ptr<ConnectionSlots>(new ConnectionSlots());
}

Expected<std::shared_ptr<ConnectionSlots::Slot>, ConnectionSlots::Refusal> ConnectionSlots::take(
    const Uuid& peer, size_t sockets, const Limits& limits) {
  {
    std::lock_guard lock(mutex_);
    const auto it = byPeer_.find(peer);
    const size_t ofPeer = it == byPeer_.end() ? 0 : it->second;
    if (ofPeer >= limits.perPeer) return Refusal{Refusal::Reason::peerBusy, total_, sockets_};
    if (total_ >= limits.connections) return Refusal{Refusal::Reason::tooMany, total_, sockets_};
    if (sockets_ + sockets > limits.sockets) {
      return Refusal{Refusal::Reason::tooManySockets, total_, sockets_};
    }
    ++total_;
    sockets_ += sockets;
    ++byPeer_[peer];
  }
  return std::make_shared<Slot>(weak_from_this(), peer, sockets);
}

size_t ConnectionSlots::total() const {
  std::lock_guard lock(mutex_);
  return total_;
}

size_t ConnectionSlots::sockets() const {
  std::lock_guard lock(mutex_);
  return sockets_;
}

void ConnectionSlots::release(const Uuid& peer, size_t sockets) {
  std::lock_guard lock(mutex_);
  --total_;
  sockets_ -= sockets;
  if (const auto it = byPeer_.find(peer); it != byPeer_.end() && --it->second == 0) {
    byPeer_.erase(it);
  }
}

}  // namespace ombrelia
