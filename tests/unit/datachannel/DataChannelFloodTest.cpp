// Peers that send more, or larger, than a viewer can take: the viewer's memory stays within a
// bound and its exchange with a well-behaved peer on another connection goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/HeapGauge.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/OpenChannels.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::HeapGauge;
using test::LoopbackPeers;

constexpr size_t kMiB = 1024 * 1024;

// The well-behaved exchange that must go on beside a flood.
using RecordedPair = test::OpenChannels;

// Lets the receiving application stall until the test opens it.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

TEST(DataChannelFloodTest, PeerSendingFasterThanTheViewerReadsIsCutOffWithinTheBound) {
  RecordedPair good;
  ASSERT_TRUE(good.open(test::scaledWait(10s)));

  // The viewer answers the flooding peer and stalls on the first text it gets.
  LoopbackPeers flood;
  auto gate = std::make_shared<Gate>();
  flood.answerer->onDataChannel([gate](std::shared_ptr<DCDataChannel> channel) {
    channel->onMessage([gate](std::string) { gate->wait(); }, [](Data) {});
  });
  auto sender = flood.offerer->createDataChannel("P2P");
  ChannelRecorder senderEvents;
  senderEvents.attach(sender);
  ASSERT_TRUE(senderEvents.waitForEvent("open", test::scaledWait(10s)));

  HeapGauge heap;
  std::atomic<bool> stop{false};
  std::thread flooder([&] {
    const std::string text(255 * 1024, 't');
    // As fast as the association takes them, with the sender's own buffer kept small so that
    // what grows is the viewer's side alone.
    while (!stop) {
      if (sender->bufferedAmount() > 2 * kMiB || !sender->sendText(text)) {
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  // The flooding side sees its channel end when the viewer drops the connection.
  const bool cutOff = senderEvents.waitForEvent("closed", test::scaledWait(60s));
  stop = true;
  flooder.join();
  gate->open();
  EXPECT_TRUE(cutOff) << "the viewer kept taking what it could not read";
  EXPECT_TRUE(flood.waitForAnswererState(DCIceState::failed, test::scaledWait(10s)));
  EXPECT_LT(heap.peakGrowth(), 48 * kMiB) << "peak heap growth " << heap.peakGrowth();
  EXPECT_TRUE(good.carries("still here")) << "the other peer's exchange stopped";
}

TEST(DataChannelFloodTest, MessageLargerThanTheSendBufferIsRefusedAtOnceAndTheChannelGoesOn) {
  // Both sides accept messages far larger than the send buffer holds.
  DCConfiguration config = LoopbackPeers::loopbackConfig();
  config.maxMessageSize = 8 * kMiB;
  RecordedPair pair({}, config, config);
  ASSERT_TRUE(pair.open(test::scaledWait(10s)));
  RecordedPair good;
  ASSERT_TRUE(good.open(test::scaledWait(10s)));

  HeapGauge heap;
  std::vector<uint8_t> bytes(2 * kMiB, 0x5a);
  EXPECT_FALSE(pair.local->sendBinary(Data(std::move(bytes))))
      << "a message that can never fit was reported as accepted";
  EXPECT_TRUE(pair.carries("after the refused one")) << "the refused message jammed the channel";
  EXPECT_TRUE(good.carries("beside it"));
  EXPECT_LT(heap.peakGrowth(), 16 * kMiB) << "peak heap growth " << heap.peakGrowth();
}

}  // namespace
}  // namespace ombrelia::datachannel
