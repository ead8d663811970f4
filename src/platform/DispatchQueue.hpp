#pragma once
// Any thread: every operation may be called from any thread, including from blocks of the queue.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace ombrelia::platform {

class WorkerPool;

// A queue of blocks run on a shared worker pool. A serial queue runs its blocks one at a time in
// order; a concurrent queue runs them in parallel, except barrier blocks, which wait for the
// blocks before them and run alone. The pool grows while every worker is blocked, so a block
// that waits on another queue cannot starve it.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { serial, concurrent };
  using Block = std::function<void()>;

  [[nodiscard]] static std::shared_ptr<DispatchQueue> create(std::string label,
                                                             Kind kind = Kind::serial);
  // A library-owned serial queue standing in for the platform's main queue.
  static const std::shared_ptr<DispatchQueue>& main();
  // The shared concurrent queue.
  static const std::shared_ptr<DispatchQueue>& global();

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }

  void async(Block block);
  // Runs the block on the queue and waits for it. Called from a block of the same serial queue
  // it would deadlock, so there it runs the block at once instead.
  void sync(Block block);
  void asyncBarrier(Block block);
  void syncBarrier(Block block);
  // Runs the block on the queue once `delay` has passed on the monotonic clock.
  void asyncAfter(std::chrono::milliseconds delay, Block block);

  // True when the calling thread is running a block of this queue.
  bool isCurrent() const;

  // Waits until every block queued so far has run (tests and shutdown).
  void drain();

 private:
  struct State;
  DispatchQueue(std::string label, Kind kind);
  void enqueue(Block block, bool barrier);
  void runAndWait(Block block, bool barrier);

  std::string label_;
  Kind kind_;
  std::shared_ptr<State> state_;
};

}  // namespace ombrelia::platform
