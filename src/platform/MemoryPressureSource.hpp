#pragma once
// Any thread: the handler runs on the global queue; one monitor thread watches the kernel for
// every source of the process.

#include <functional>
#include <memory>
#include <mutex>

namespace ombrelia::platform {

// Memory warnings from the host. On Linux they come from pressure-stall information
// (/proc/pressure/memory triggers), or, where that is not offered, from the cgroup's
// memory.events counters. Events are a mask: warning, critical, or both when the two arrive
// together.
class MemoryPressureSource : public std::enable_shared_from_this<MemoryPressureSource> {
 public:
  enum Event : unsigned { warning = 0x2, critical = 0x4 };
  using Handler = std::function<void(unsigned events)>;

  [[nodiscard]] static std::shared_ptr<MemoryPressureSource> create();
  ~MemoryPressureSource();
  MemoryPressureSource(const MemoryPressureSource&) = delete;
  MemoryPressureSource& operator=(const MemoryPressureSource&) = delete;

  void setEventHandler(Handler handler);
  // Starts delivering events (and starts the monitor thread on first use).
  void activate();
  // Stops delivering; a delivery already on its way may still arrive, so handlers check
  // isCancelled().
  void cancel();
  bool isCancelled() const;

  // Test hook: delivers the events to every active source as if the host had reported them.
  static void raiseForTesting(unsigned events);

 private:
  MemoryPressureSource() = default;
  friend class MemoryPressureMonitor;
  void deliver(unsigned events);

  mutable std::mutex mutex_;
  Handler handler_;
  bool active_ = false;
  bool cancelled_ = false;
};

}  // namespace ombrelia::platform
