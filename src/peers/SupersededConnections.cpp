#include "peers/SupersededConnections.hpp"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "peers/WebRTCClient.hpp"

namespace ombrelia {

namespace {

// The same for a connection at both of its ends: each knows both identifiers and both counts.
struct Rank {
  int64_t identities;  // both counts are at most 2^53, so the sum cannot overflow
  Uuid lower;
  Uuid higher;
  friend auto operator<=>(const Rank&, const Rank&) = default;
};

Rank rankOf(const WebRTCClient::RemoteIdentity& identity) {
  const auto [lower, higher] = std::minmax(identity.own.uuid, identity.peer.uuid);
  return Rank{identity.own.identities + identity.peer.identities, lower, higher};
}

}  // namespace

std::vector<SupersededConnections::Entry> SupersededConnections::among(
    const std::vector<Peer>& peers) {
  // Each client is asked once: its channel may close meanwhile, and every answer must come
  // from the same moment for the choice of the current one to hold.
  std::vector<std::optional<WebRTCClient::RemoteIdentity>> identities;
  identities.reserve(peers.size());
  std::map<std::string, size_t> newest;  // by fingerprint, the index of its current connection
  for (size_t i = 0; i < peers.size(); ++i) {
    const auto& client = peers[i].webRTCClient;
    identities.push_back(client ? client->remoteIdentity() : std::nullopt);
    if (!identities[i]) continue;
    const auto [it, first] = newest.try_emplace(identities[i]->fingerprint, i);
    if (!first && rankOf(*identities[it->second]) < rankOf(*identities[i])) it->second = i;
  }
  std::vector<Entry> superseded;
  for (size_t i = 0; i < peers.size(); ++i) {
    if (!identities[i]) continue;
    const size_t current = newest.at(identities[i]->fingerprint);
    if (current == i) continue;
    const auto& newer = *identities[current];
    superseded.push_back({peers[i], peers[current], std::max(newer.openedAt, newer.provenAt)});
  }
  return superseded;
}

}  // namespace ombrelia
