#pragma once
// The HTTP client engine's thread only.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ombrelia::platform {

class CurlTransfer;

// What the engine's rules ask of every active transfer on each event (which one takes room
// first, which are paused for room, which hosts have a transfer waiting for a connection, ...),
// kept as each transfer's state changes rather than found by looking at them all: O(log n) per
// change, O(1) per question.
class TransferIndex {
 public:
  // The transfers libcurl counts against one host ("scheme://host:port"), and those of them the
  // per-host rules may end or park, in the order they would.
  struct Host {
    std::string key;
    long transfers = 0;
    long multiplexing = 0;
    long waitedWithout = 0;                    // someone waits for it, and it has no connection
    std::set<uint64_t, std::greater<>> gated;  // holds a connection it may give up; youngest first
    // Nobody waits for them: those without a connection first, then the most still to come,
    // each as (has a connection, the most there is less what is still to come, identifier).
    std::set<std::tuple<bool, size_t, uint64_t>> abandoned;
  };

  explicit TransferIndex(long maxConnectionsPerHost)
      : maxConnectionsPerHost_(maxConnectionsPerHost) {}

  void add(const CurlTransfer& transfer);
  // Brings the index up to the transfer's state; one not added (or removed) is ignored.
  void update(const CurlTransfer& transfer);
  void remove(const CurlTransfer& transfer);

  // Whether a transfer someone waits for is paused for room.
  bool roomWanted() const { return roomWaited_ > 0; }
  // Whether one older than `identifier` that someone waits for, whose body has begun and is
  // neither kept nor passed to a reader, runs or is paused for room: that one takes room first.
  bool olderTakesRoomFirst(uint64_t identifier) const {
    return !firstTakers_.empty() && *firstTakers_.begin() < identifier;
  }
  // Paused for room, the oldest first.
  const std::set<uint64_t>& roomPaused() const { return roomPaused_; }
  // Whose streamed body is still kept whole for the store.
  const std::set<uint64_t>& keepers() const { return keepers_; }
  // May give their connection up while they count room, the youngest first.
  const std::set<uint64_t, std::greater<>>& gatedWithRoom() const { return gatedWithRoom_; }
  // What every active body weighs: what it holds, or its declared length once known.
  size_t weightInFlight() const { return weightInFlight_; }
  // Nobody waits for them and they weigh something, the most still to come first.
  const std::set<std::pair<size_t, uint64_t>, std::greater<>>& abandonedByRemaining() const {
    return abandonedByRemaining_;
  }
  // Hosts over HTTP/1.1 with more transfers than connections, where one someone waits for has
  // none.
  const std::unordered_set<Host*>& connectionsWanted() const { return connectionsWanted_; }
  // Such hosts where some transfers nobody waits for share the connections with some somebody
  // does.
  const std::unordered_set<Host*>& abandonedInTheWay() const { return abandonedInTheWay_; }
  // The hosts it keeps a record of: never more than there are transfers. Any thread.
  size_t hostsKept() const { return hostsKept_.load(); }

 private:
  // Where a transfer counts.
  struct Indexed {
    bool roomWaited = false;
    bool firstTaker = false;
    bool roomPaused = false;
    bool keepsStream = false;
    bool gatedWithRoom = false;
    size_t weight = 0;
    size_t remaining = 0;
    bool inHost = false;  // neither parked nor set aside: libcurl counts it against its host
    bool multiplexes = false;
    bool hasConnection = false;
    bool waited = false;
    bool gatedHere = false;
    bool operator==(const Indexed&) const = default;
  };
  struct Entry {
    Indexed indexed;
    Host* host = nullptr;  // the one it counts against, while it does
  };

  static Indexed indexOf(const CurlTransfer& transfer);
  // Counts the transfer; the host it then counts against.
  Host* count(const Indexed& indexed, const CurlTransfer& transfer);
  void uncount(const Indexed& indexed, uint64_t identifier, Host* host);
  // Brings the entry to `now`, which differs from it only in weight and what is still to come.
  void resize(Entry& entry, const Indexed& now, uint64_t identifier);
  // Whether the host's rules have anything to do, kept in the sets of hosts.
  void refresh(Host& host);

  const long maxConnectionsPerHost_;
  std::unordered_map<uint64_t, Entry> entries_;
  size_t roomWaited_ = 0;
  std::set<uint64_t> firstTakers_;
  std::set<uint64_t> roomPaused_;
  std::set<uint64_t> keepers_;
  std::set<uint64_t, std::greater<>> gatedWithRoom_;
  size_t weightInFlight_ = 0;
  std::set<std::pair<size_t, uint64_t>, std::greater<>> abandonedByRemaining_;
  std::unordered_map<std::string, Host> hosts_;
  std::unordered_set<Host*> connectionsWanted_;
  std::unordered_set<Host*> abandonedInTheWay_;
  std::atomic<size_t> hostsKept_{0};
};

}  // namespace ombrelia::platform
