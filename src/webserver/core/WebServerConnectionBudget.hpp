#pragma once
// Any thread: the counts are atomic.

#include <atomic>
#include <cstdint>

namespace ombrelia {

// What all the connections of one start of a server hold together: each takes room for its
// buffers, its request head and its body decoder before it grows them, and gives it all back when
// it ends. Past the bound a new request is refused at once (503) rather than left to wait or grow,
// so however many local clients connect, and however they send, the server's memory for them
// stays within the bound. A refused connection holds no buffer; a few of them at once are let
// finish their answer before closing, the rest are closed at once.
class WebServerConnectionBudget {
 public:
  // Refused connections answered and drained at once; past them a refusal closes without
  // waiting for the client. Each holds its socket and its connection object for at most the
  // linger time, a kilobyte or two.
  static constexpr uint32_t kMaxRefusalsAtOnce = 1024;

  // 0 sets no bound.
  explicit WebServerConnectionBudget(uint64_t maxBytes) : maxBytes_(maxBytes) {}
  WebServerConnectionBudget(const WebServerConnectionBudget&) = delete;
  WebServerConnectionBudget& operator=(const WebServerConnectionBudget&) = delete;

  // Takes `bytes` when the total stays within the bound; otherwise takes nothing.
  bool tryTake(uint64_t bytes);
  void give(uint64_t bytes);
  bool tryStartRefusal();
  void endRefusal();

  uint64_t heldBytes() const { return held_.load(std::memory_order_relaxed); }
  uint64_t maxBytes() const { return maxBytes_; }
  // Requests refused for room since the server started.
  uint64_t refusals() const { return refusals_.load(std::memory_order_relaxed); }
  void countRefusal() { refusals_.fetch_add(1, std::memory_order_relaxed); }

 private:
  const uint64_t maxBytes_;
  std::atomic<uint64_t> held_{0};
  std::atomic<uint32_t> refusing_{0};
  std::atomic<uint64_t> refusals_{0};
};

}  // namespace ombrelia
