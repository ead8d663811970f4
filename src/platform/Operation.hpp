#pragma once
// Any thread: cancel() and the state read-outs from anywhere; start() runs main() and then the
// completion block on the calling thread (an operation queue's worker).

#include <atomic>
#include <functional>
#include <mutex>

namespace ombrelia::platform {

// One unit of work whose body is main(). It runs at most once, moving from ready through
// executing to finished; a cancelled operation still finishes when started, without running
// main(), so whoever waits on its completion block is always answered. Cancellation only sets
// a flag: main() decides where it looks at it.
class Operation {
public:
  using CompletionBlock = std::function<void()>;

  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs the operation on the calling thread; ignored unless the operation is ready.
  void start();
  void cancel() { cancelled_.store(true); }

  bool isCancelled() const { return cancelled_.load(); }
  bool isReady() const;
  bool isExecuting() const;
  bool isFinished() const;

  // Runs once, after the operation has finished, on the thread that finished it; then it is
  // dropped, so a block that captures its operation forms no lasting cycle.
  void setCompletionBlock(CompletionBlock block);

protected:
  Operation() = default;
  virtual void main() {}

private:
  enum class State { ready, executing, finished };

  mutable std::mutex mutex_; // guards state_ and completionBlock_
  State state_ = State::ready;
  CompletionBlock completionBlock_;
  std::atomic<bool> cancelled_{false};
};

} // namespace ombrelia::platform
