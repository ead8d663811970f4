#pragma once
// Any thread: cancelled from one, read and watched from any.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ombrelia::platform {

// Tells the work done for someone that they no longer wait for it: the web server cancels the
// token of a request whose player went away, and whoever works for that request either looks at
// it between steps or asks to be called.
class CancellationToken {
 public:
  [[nodiscard]] static std::shared_ptr<CancellationToken> create();
  CancellationToken(const CancellationToken&) = delete;
  CancellationToken& operator=(const CancellationToken&) = delete;

  // Once: later calls do nothing. The callbacks run on this thread, in the order given.
  void cancel();
  // A load, cheap enough for a loop to ask every few hundred lines.
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Runs `callback` when the token is cancelled: at once, on this thread, if it already is.
  // Callbacks are let go once they have run, or with the token.
  void onCancel(std::function<void()> callback);

 private:
  CancellationToken() = default;

  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;  // guards callbacks_ and orders cancel() against onCancel()
  std::vector<std::function<void()>> callbacks_;
};

}  // namespace ombrelia::platform
