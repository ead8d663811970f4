#pragma once
// Any thread: one lock guards the counts; a slot is given back on whichever thread its
// connection reports its transports gone (the framework's loop thread) or drops it.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Expected.hpp"
#include "platform/Uuid.hpp"

namespace ombrelia {

// The peer connections made for the peer list that still hold transports: those of listed
// peers, and those closed that are still giving their sockets back. A closed connection lets its
// sockets go only after several steps on the framework's loop, so counting listed peers alone
// lets a burst of replacements pile up closing connections until the process runs out of
// descriptors. Each connection holds a slot, by the identifier it was made for and weighed in
// the descriptors it may hold, until its transports are gone.
class ConnectionSlots : public std::enable_shared_from_this<ConnectionSlots> {
 public:
  // Held by one connection; the slot is free again once the last holder lets it go.
  class Slot {
   public:
    Slot(std::weak_ptr<ConnectionSlots> slots, Uuid peer, size_t sockets)
        : slots_(std::move(slots)), peer_(peer), sockets_(sockets) {}
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    size_t sockets() const { return sockets_; }

   private:
    const std::weak_ptr<ConnectionSlots> slots_;
    const Uuid peer_;
    const size_t sockets_;
  };

  // What the connections alive or closing may reach once one more is counted.
  struct Limits {
    size_t connections;
    size_t sockets;
    size_t perPeer;  // connections made for one identifier
  };

  struct Refusal {
    enum class Reason {
      tooMany,         // the connections alive or closing have reached the limit
      tooManySockets,  // their descriptors leave no room for this one's
      peerBusy,        // this identifier holds as many connections as it may
    };
    Reason reason;
    size_t total;    // connections alive or closing
    size_t sockets;  // descriptors they may hold
  };

  [[nodiscard]] static std::shared_ptr<ConnectionSlots> create();

  // One more slot for a connection to `peer` that may hold `sockets` descriptors, unless that
  // would pass any of `limits`.
  Expected<std::shared_ptr<Slot>, Refusal> take(const Uuid& peer, size_t sockets,
                                                const Limits& limits);
  size_t total() const;
  size_t sockets() const;

 private:
  ConnectionSlots() = default;
  void release(const Uuid& peer, size_t sockets);

  mutable std::mutex mutex_;  // guards the three fields
  size_t total_ = 0;
  size_t sockets_ = 0;
  std::map<Uuid, size_t> byPeer_;
};

}  // namespace ombrelia
