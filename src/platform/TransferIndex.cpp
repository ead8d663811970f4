#include "platform/TransferIndex.hpp"

#include <limits>

#include "platform/CurlTransfer.hpp"

namespace ombrelia::platform {
namespace {

// The key of an abandoned transfer in its host: ending one that has no connection yet costs
// nothing, so those go first; then those with the most still to come (what is nearly whole is
// nearly stored).
std::tuple<bool, size_t, uint64_t> abandonedOrder(bool hasConnection, size_t remaining,
                                                  uint64_t identifier) {
  return {hasConnection, std::numeric_limits<size_t>::max() - remaining, identifier};
}

}  // namespace

void TransferIndex::add(const CurlTransfer& transfer) {
  Entry entry;
  entry.indexed = indexOf(transfer);
  entry.host = count(entry.indexed, transfer);
  entries_.emplace(transfer.identifier(), entry);
}

void TransferIndex::update(const CurlTransfer& transfer) {
  auto found = entries_.find(transfer.identifier());
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  const Indexed now = indexOf(transfer);
  // A hop of a redirect to another origin moves it to that host.
  const bool sameHost =
      now.inHost == entry.indexed.inHost && (!now.inHost || entry.host->key == transfer.hostKey());
  Indexed sized = entry.indexed;
  sized.weight = now.weight;
  sized.remaining = now.remaining;
  if (sameHost && sized == now) {
    // What a body piece changes: only the weights, and the order of those nobody waits for.
    resize(entry, now, transfer.identifier());
    return;
  }
  uncount(entry.indexed, transfer.identifier(), entry.host);
  entry.host = count(now, transfer);
  entry.indexed = now;
}

void TransferIndex::remove(const CurlTransfer& transfer) {
  auto found = entries_.find(transfer.identifier());
  if (found == entries_.end()) return;
  uncount(found->second.indexed, transfer.identifier(), found->second.host);
  entries_.erase(found);
}

void TransferIndex::resize(Entry& entry, const Indexed& now, uint64_t identifier) {
  Indexed& was = entry.indexed;
  weightInFlight_ = weightInFlight_ - was.weight + now.weight;
  if (!now.waited && (was.weight != now.weight || was.remaining != now.remaining)) {
    if (was.weight > 0) abandonedByRemaining_.erase({was.remaining, identifier});
    if (now.weight > 0) abandonedByRemaining_.emplace(now.remaining, identifier);
    if (entry.host != nullptr) {
      entry.host->abandoned.erase(abandonedOrder(was.hasConnection, was.remaining, identifier));
      entry.host->abandoned.insert(abandonedOrder(now.hasConnection, now.remaining, identifier));
    }
  }
  was = now;
}

TransferIndex::Indexed TransferIndex::indexOf(const CurlTransfer& transfer) {
  using Pause = CurlTransfer::Pause;
  const Pause pause = transfer.pause();
  Indexed indexed;
  indexed.waited = transfer.waited();
  indexed.roomWaited = transfer.waited() && pause == Pause::room;
  // A body a player reads never waits for room, and needs none of the first taker's.
  indexed.firstTaker = transfer.waited() && transfer.bodyBegun() && !transfer.keepsStream() &&
                       !transfer.passesStream() && (pause == Pause::none || pause == Pause::room);
  indexed.roomPaused = pause == Pause::room;
  indexed.keepsStream = transfer.keepsStream();
  indexed.gatedWithRoom = transfer.mayGiveConnectionUp() && transfer.counted() > 0;
  indexed.weight = transfer.weight();
  indexed.remaining = transfer.remaining();
  indexed.inHost = !transfer.parked() && !transfer.isSetAside();
  if (indexed.inHost) {
    indexed.multiplexes = transfer.multiplexes();
    indexed.hasConnection = transfer.hasConnection();
    indexed.gatedHere = transfer.hasConnection() && transfer.mayGiveConnectionUp();
  }
  return indexed;
}

TransferIndex::Host* TransferIndex::count(const Indexed& indexed, const CurlTransfer& transfer) {
  const uint64_t identifier = transfer.identifier();
  if (indexed.roomWaited) ++roomWaited_;
  if (indexed.firstTaker) firstTakers_.insert(identifier);
  if (indexed.roomPaused) roomPaused_.insert(identifier);
  if (indexed.keepsStream) keepers_.insert(identifier);
  if (indexed.gatedWithRoom) gatedWithRoom_.insert(identifier);
  weightInFlight_ += indexed.weight;
  if (!indexed.waited && indexed.weight > 0) {
    abandonedByRemaining_.emplace(indexed.remaining, identifier);
  }
  if (!indexed.inHost) return nullptr;
  Host& host = hosts_[transfer.hostKey()];
  if (host.transfers == 0) {
    host.key = transfer.hostKey();
    hostsKept_ = hosts_.size();
  }
  ++host.transfers;
  if (indexed.multiplexes) ++host.multiplexing;
  if (indexed.waited && !indexed.hasConnection) ++host.waitedWithout;
  if (indexed.gatedHere) host.gated.insert(identifier);
  if (!indexed.waited) {
    host.abandoned.insert(abandonedOrder(indexed.hasConnection, indexed.remaining, identifier));
  }
  refresh(host);
  return &host;
}

void TransferIndex::uncount(const Indexed& indexed, uint64_t identifier, Host* host) {
  if (indexed.roomWaited) --roomWaited_;
  if (indexed.firstTaker) firstTakers_.erase(identifier);
  if (indexed.roomPaused) roomPaused_.erase(identifier);
  if (indexed.keepsStream) keepers_.erase(identifier);
  if (indexed.gatedWithRoom) gatedWithRoom_.erase(identifier);
  weightInFlight_ -= indexed.weight;
  if (!indexed.waited && indexed.weight > 0) {
    abandonedByRemaining_.erase({indexed.remaining, identifier});
  }
  if (host == nullptr) return;
  --host->transfers;
  if (indexed.multiplexes) --host->multiplexing;
  if (indexed.waited && !indexed.hasConnection) --host->waitedWithout;
  if (indexed.gatedHere) host->gated.erase(identifier);
  if (!indexed.waited) {
    host->abandoned.erase(abandonedOrder(indexed.hasConnection, indexed.remaining, identifier));
  }
  refresh(*host);
  // A host is kept only while a transfer counts against it: never more than there are transfers.
  if (host->transfers == 0) {
    const std::string key = host->key;
    hosts_.erase(key);
    hostsKept_ = hosts_.size();
  }
}

void TransferIndex::refresh(Host& host) {
  // As libcurl bounds connections: a host whose connections multiplex (HTTP/2) serves all its
  // transfers at once, and one with no more transfers than connections has none waiting.
  const bool crowded = host.multiplexing == 0 && host.transfers > maxConnectionsPerHost_;
  if (crowded && host.waitedWithout > 0) {
    connectionsWanted_.insert(&host);
  } else {
    connectionsWanted_.erase(&host);
  }
  if (crowded && !host.abandoned.empty() &&
      host.abandoned.size() != static_cast<size_t>(host.transfers)) {
    abandonedInTheWay_.insert(&host);
  } else {
    abandonedInTheWay_.erase(&host);
  }
}

}  // namespace ombrelia::platform
