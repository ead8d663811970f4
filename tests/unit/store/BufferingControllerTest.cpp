#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "store/BufferingController.hpp"

namespace ombrelia {
namespace {

class FixedBuffer : public BufferingControllerDelegate {
 public:
  explicit FixedBuffer(double seconds) : seconds_(seconds) {}
  double getPrebufferingDuration() override { return seconds_; }

 private:
  double seconds_;
};

TEST(BufferingControllerTest, BufferIsHealthyOnlyAboveFourAndAHalfSeconds) {
  BufferingController controller;
  struct Case {
    double seconds;
    bool healthy;
  };
  for (const Case& c : {Case{0.0, false}, Case{4.5, false}, Case{4.6, true}, Case{30.0, true},
                        Case{std::nan(""), false}}) {
    controller.setDelegate(std::make_shared<FixedBuffer>(c.seconds));
    EXPECT_EQ(controller.bufferingIsOk(), c.healthy) << c.seconds << " s";
  }
  controller.setDelegate(std::make_shared<FixedBuffer>(0.0));
  EXPECT_EQ(controller.getBufferLength(), 0.0) << "zero is a length, not an absent one";
  controller.setDelegate(nullptr);
  EXPECT_EQ(controller.getBufferLength(), std::nullopt);
  EXPECT_FALSE(controller.bufferingIsOk()) << "without a delegate the buffer is unhealthy";
}

TEST(BufferingControllerTest, DelegateSwappedWhileOtherThreadsAskIsSeenWhole) {
  BufferingController controller;
  std::atomic<bool> stop{false};
  std::atomic<int> impossible{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto length = controller.getBufferLength();
        if (length && *length != 1.0 && *length != 9.0) ++impossible;
        controller.bufferingIsOk();
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    controller.setDelegate(std::make_shared<FixedBuffer>(i % 2 == 0 ? 1.0 : 9.0));
    if (i % 3 == 0) controller.setDelegate(nullptr);
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(impossible.load(), 0);
}

}  // namespace
}  // namespace ombrelia
