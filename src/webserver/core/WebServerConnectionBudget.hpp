#pragma once
// Any thread: the counts are atomic; the order of the connections waiting on their clients is
// kept under a lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ombrelia {

// What all the connections of one start of a server hold together: each takes room for its
// buffers, its request head and its body decoder before it grows them, and gives it all back when
// it ends. Past the bound a new request is refused at once (503) rather than left to wait or grow,
// so however many local clients connect, and however they send, the server's memory for them
// stays within the bound. A refused connection holds no buffer; a few of them at once are let
// finish their answer before closing, the rest are closed at once.
//
// Room is not kept for ever by a client that stops: while a connection waits on its client (for
// bytes of its request, or for the client to read its answer) it stands in an order of last
// progress. When a request finds no room, the connection whose client has moved nothing for
// longest, if that is at least the minimum idle time, is ended and its room goes to the newcomer;
// only when no waiting connection has been idle that long is the newcomer refused. A connection
// nobody needs the room of is left alone, however long it is idle.
class WebServerConnectionBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // Refused connections answered and drained at once; past them a refusal closes without
  // waiting for the client. Each holds its socket and its connection object for at most the
  // linger time, a kilobyte or two.
  static constexpr uint32_t kMaxRefusalsAtOnce = 1024;

  // One connection's place in the order of last progress. It belongs to the connection; the
  // budget links it while the connection waits on its client.
  class Holder {
   public:
    Holder() = default;
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    // Called, outside the budget's lock and on the thread of the newcomer, when the room of this
    // holder was given to another: the connection must end, and must not give that room back.
    std::function<void()> onEnded;

   private:
    friend class WebServerConnectionBudget;
    Holder* older_ = nullptr;
    Holder* newer_ = nullptr;
    bool waiting_ = false;
    bool ended_ = false;
    uint64_t room_ = 0;
    Clock::time_point since_{};
  };

  // 0 sets no bound. A connection whose client moved nothing for `minIdle` may be ended for a
  // newcomer (WebServerOptions::minIdleBeforeEndingForRoom).
  WebServerConnectionBudget(uint64_t maxBytes, std::chrono::milliseconds minIdle)
      : maxBytes_(maxBytes), minIdle_(minIdle) {}
  WebServerConnectionBudget(const WebServerConnectionBudget&) = delete;
  WebServerConnectionBudget& operator=(const WebServerConnectionBudget&) = delete;

  // Takes `bytes` when the total stays within the bound; otherwise takes nothing.
  bool tryTake(uint64_t bytes);
  // The same, but when there is no room, ends the connections idle on their client for at least
  // the minimum, longest idle first, until `bytes` fit. False when none qualifies.
  bool tryTakeOrEndIdle(uint64_t bytes);
  void give(uint64_t bytes);
  bool tryStartRefusal();
  void endRefusal();

  // The holder's connection waits on its client from now, holding `room`: it goes last in the
  // order (O(1)). Nothing happens without a bound.
  void beginWaiting(Holder& holder, uint64_t room);
  // Its client moved bytes while it waits: last in the order again. False when it was ended.
  bool progressed(Holder& holder);
  // It no longer waits on its client. False when it was ended for another meanwhile: the room it
  // held then belongs to the budget already.
  bool endWaiting(Holder& holder);

  uint64_t heldBytes() const { return held_.load(std::memory_order_relaxed); }
  uint64_t maxBytes() const { return maxBytes_; }
  std::chrono::milliseconds minIdle() const { return minIdle_; }
  // Requests refused for room since the server started.
  uint64_t refusals() const { return refusals_.load(std::memory_order_relaxed); }
  void countRefusal() { refusals_.fetch_add(1, std::memory_order_relaxed); }
  // Connections ended to give their room to another.
  uint64_t endedForRoom() const { return endedForRoom_.load(std::memory_order_relaxed); }
  // Waiting connections looked at while looking for one to end: one per connection ended and one
  // per search that ended none, however many wait.
  uint64_t holdersLookedAt() const { return lookedAt_.load(std::memory_order_relaxed); }

 private:
  void unlinkLocked(Holder& holder);
  void appendLocked(Holder& holder);

  const uint64_t maxBytes_;
  const std::chrono::milliseconds minIdle_;
  std::atomic<uint64_t> held_{0};
  std::atomic<uint32_t> refusing_{0};
  std::atomic<uint64_t> refusals_{0};
  std::atomic<uint64_t> endedForRoom_{0};
  std::atomic<uint64_t> lookedAt_{0};
  // Guards the order and every linked holder's fields. Oldest progress first.
  std::mutex orderMutex_;
  Holder* oldest_ = nullptr;
  Holder* newest_ = nullptr;
};

}  // namespace ombrelia
