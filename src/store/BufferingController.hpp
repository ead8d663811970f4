#pragma once
// Any thread: the delegate is swapped under a lock and asked outside it.

#include <memory>
#include <mutex>
#include <optional>

#include "store/BufferingControllerDelegate.hpp"

namespace ombrelia {

// The process-wide gate through which the player's buffer, as the application reports it,
// reaches the library. Without a delegate the buffer never counts as healthy, so every segment
// goes to the origin.
class BufferingController {
 public:
  // Media segments last this many whole seconds; the health threshold is derived from it.
  static constexpr double kSegmentDurationSeconds = 6.0;
  // The buffer must hold more than three quarters of one segment (4.5 s) before a peer, which
  // may be slower than the origin, is given a chance.
  static constexpr double kHealthySegmentFraction = 0.75;

  static BufferingController& shared();

  BufferingController() = default;
  BufferingController(const BufferingController&) = delete;
  BufferingController& operator=(const BufferingController&) = delete;

  // The delegate is held strongly until it is replaced or cleared.
  std::shared_ptr<BufferingControllerDelegate> delegate() const;
  void setDelegate(std::shared_ptr<BufferingControllerDelegate> delegate);

  // True exactly when the delegate reports strictly more than the threshold.
  bool bufferingIsOk() const;
  // The delegate's prebuffered seconds, or absent without a delegate.
  std::optional<double> getBufferLength() const;

 private:
  mutable std::mutex mutex_;  // guards delegate_: written by the application, read everywhere
  std::shared_ptr<BufferingControllerDelegate> delegate_;
};

}  // namespace ombrelia
