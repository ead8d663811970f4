// Memory-pressure events reach active sources only, on the global queue.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"

namespace ombrelia::platform {
namespace {

TEST(MemoryPressureSourceTest, ActiveSourcesReceiveRaisedEventsOnTheGlobalQueue) {
  auto active = MemoryPressureSource::create();
  auto inactive = MemoryPressureSource::create();
  auto cancelled = MemoryPressureSource::create();
  std::atomic<unsigned> activeEvents{0};
  std::atomic<int> others{0};
  std::atomic<bool> onCallingThread{false};
  const auto caller = std::this_thread::get_id();
  active->setEventHandler([&](unsigned events) {
    activeEvents |= events;
    if (std::this_thread::get_id() == caller) onCallingThread = true;
  });
  inactive->setEventHandler([&](unsigned) { ++others; });
  cancelled->setEventHandler([&](unsigned) { ++others; });
  active->activate();
  cancelled->activate();
  cancelled->cancel();

  MemoryPressureSource::raiseForTesting(MemoryPressureSource::warning |
                                        MemoryPressureSource::critical);
  DispatchQueue::global()->drain();
  EXPECT_EQ(activeEvents.load(), MemoryPressureSource::warning | MemoryPressureSource::critical);
  EXPECT_EQ(others.load(), 0);
  EXPECT_FALSE(onCallingThread.load());
  EXPECT_TRUE(cancelled->isCancelled());
}

}  // namespace
}  // namespace ombrelia::platform
