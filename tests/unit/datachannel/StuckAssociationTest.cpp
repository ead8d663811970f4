// Two of our connections: one whose SCTP association stops retransmitting, as usrsctp 0.9.5
// leaves one after a late round-trip sample, must end; one whose path loses a direction for
// longer than that watch waits must not.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <ombrelia/OLoggerConfig.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"
#include "support/OpenChannels.hpp"
#include "support/SctpWireLog.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::OpenChannels;
using test::SctpWireLog;

// The frame the peer protocol cuts segments into.
constexpr size_t kFrameBytes = 15924;

SctpImpairment holding(std::chrono::milliseconds delay) {
  SctpImpairment path;
  path.delay = delay;
  return path;
}

bool sendFrames(DCDataChannel& channel, int count) {
  for (int i = 0; i < count; ++i) {
    if (!channel.sendBinary(Data(std::vector<uint8_t>(kFrameBytes, static_cast<uint8_t>(i))))) {
      return false;
    }
  }
  return true;
}

// True once `condition` holds, within `bound`. The association offers no event for what the
// test waits on, so its state is read every 20 ms.
template <typename Condition>
bool pollFor(std::chrono::milliseconds bound, Condition condition) {
  for (const auto end = std::chrono::steady_clock::now() + bound;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// Loses the first `lost` data packets that leave from now on. From the first retransmission
// on, holds by `hold` every packet `receiver` sends for `holdingFor`, then lets them pass.
struct LossThenHeldAnswers {
  int lost = 0;
  std::chrono::milliseconds hold{0};
  std::chrono::milliseconds holdingFor{0};
  std::weak_ptr<DCPeerConnection> receiver;
  std::mutex mutex;  // guards the fields below
  std::optional<uint32_t> highestTsn;
  int fresh = 0;
  bool retransmitted = false;

  bool pass(const uint8_t* packet, size_t size) {
    const auto tsn = SctpWireLog::dataTsn(packet, size);
    if (!tsn) return true;
    std::lock_guard lock(mutex);
    if (highestTsn && !SctpWireLog::isAfter(*tsn, *highestTsn)) {
      if (!retransmitted) holdReceiver();
      retransmitted = true;
      return true;
    }
    highestTsn = tsn;
    return ++fresh > lost;
  }

  void holdReceiver() {
    SctpImpairment held = holding(hold);
    held.filter = [receiver = receiver, until = std::chrono::steady_clock::now() + holdingFor](
                      const uint8_t*, size_t) {
      if (std::chrono::steady_clock::now() >= until) {
        if (auto peer = receiver.lock()) peer->impairSctpForTesting({});
      }
      return true;
    };
    if (auto peer = receiver.lock()) peer->impairSctpForTesting(held);
  }
};

// A path that leaves the association stuck every time: a 923 kB transfer (58 frames) whose
// last four frames lose their first 53 packets, the three or four after them arriving; a
// heartbeat answered 3.5 s late just before, which raises the round-trip estimate above the
// 3 s the retransmission timer runs at most; and the receiver's packets held 4 s from the first
// retransmission on. usrsctp marks the lost chunks for fast retransmission and sends a few;
// its timer fires before the acknowledgements come, skips the rest as sent within the estimate,
// and forgets them. (A sample arriving while the timer runs, on a path whose estimate is below
// the timer's 200 ms minimum, does the same, but hitting that window takes a precise clock.)
TEST(StuckAssociationTest, AssociationThatNoLongerRetransmitsEndsItsConnection) {
  constexpr int kFramesDelivered = 54;
  constexpr int kFramesStuck = 4;
  // Longer than the most the retransmission timer runs (3 s), by more than a loaded machine
  // delays it; shorter than the silence a connection takes for a lost peer (8 s).
  constexpr auto kLateAnswer = 3500ms;
  // The acknowledgements of the first retransmissions come after the timer has fired; those
  // sent later are let through, lest a path slower than the timer's 3 s maximum crawl.
  constexpr auto kHeldAfterRetransmission = 4s;
  constexpr auto kHoldingAfterRetransmission = 3500ms;
  // A smoothed estimate this high means a sample of over 3.2 s, which puts the estimate's
  // retransmission timeout, unbounded, well past 3.5 s.
  constexpr uint32_t kRaisedEstimateMs = 400;
  OpenChannels channels;
  ASSERT_TRUE(channels.open());
  const auto sender = channels.peers.offerer;
  const auto receiver = channels.peers.answerer;
  ASSERT_TRUE(sendFrames(*channels.local, kFramesDelivered));
  ASSERT_TRUE(channels.remoteEvents.waitForFrames(kFramesDelivered, test::scaledWait(20s)));

  // Everything acknowledged and the sender idle, it sends heartbeats; the estimate rises once
  // one is answered.
  const auto senderShows = [&](auto check) {
    return pollFor(test::scaledWait(20s), [&] {
      const auto status = sender->sctpStatusForTesting();
      return status && check(*status);
    });
  };
  ASSERT_TRUE(senderShows([](const SctpStatus& s) { return s.unacknowledgedChunks == 0; }));
  receiver->impairSctpForTesting(holding(kLateAnswer));
  ASSERT_TRUE(senderShows([](const SctpStatus& s) { return s.smoothedRttMs >= kRaisedEstimateMs; }))
      << "no heartbeat answer raised the round-trip estimate";
  receiver->impairSctpForTesting({});
  const auto script = std::make_shared<LossThenHeldAnswers>();
  script->lost = 53;
  script->hold = kHeldAfterRetransmission;
  script->holdingFor = kHoldingAfterRetransmission;
  script->receiver = receiver;
  SctpImpairment lossy;
  lossy.filter = [script](const uint8_t* packet, size_t size) {
    return script->pass(packet, size);
  };
  sender->impairSctpForTesting(lossy);

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(sendFrames(*channels.local, kFramesStuck));
  // Ends early once every frame has arrived: the path then left nothing stuck, which the first
  // check below reports, instead of the ceiling running out.
  pollFor(test::scaledWait(25s), [&] {
    return channels.peers.waitForOffererState(DCIceState::failed, 0ms) ||
           channels.remoteEvents.frames().size() >=
               static_cast<size_t>(kFramesDelivered + kFramesStuck);
  });
  const bool failed = channels.peers.waitForOffererState(DCIceState::failed, 0ms);
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  const auto status = sender->sctpStatusForTesting();
  const size_t arrived = channels.remoteEvents.frames().size();
  ASSERT_LT(arrived, static_cast<size_t>(kFramesDelivered + kFramesStuck))
      << "every frame arrived: the scripted path did not leave the association stuck";
  ASSERT_TRUE(failed) << "the association stopped retransmitting and the connection was kept: "
                      << arrived << " frames arrived; "
                      << (status ? status->describe() : "no association");
  EXPECT_NE(log.find("connection failed: the SCTP association is stuck: "), std::string::npos)
      << log;
  const auto states = channels.peers.offererStates();
  EXPECT_EQ(std::count(states.begin(), states.end(), DCIceState::disconnected), 0)
      << "the peer was never silent: only the stall watch could end the connection";
}

// One direction of the path carries nothing for 13 s, longer than the stall watch waits, while
// both sides have data under way. The side whose packets are lost retransmits into the void, the
// other one never hears its data acknowledged: both see their retransmission timer fire, backed
// off, and both connections live on and deliver everything once the path is back. The silence
// check is set past the outage, so that only the stall watch could end them.
TEST(StuckAssociationTest, ThirteenSecondOutageOfOneDirectionIsNotTakenForAStall) {
  constexpr auto kOutage = 13s;
  constexpr int kFrames = 64;
  auto config = test::LoopbackPeers::loopbackConfig();
  config.consentTimeout = 20s;
  OpenChannels channels(test::LoopbackPeers::Options{}, config, config);
  ASSERT_TRUE(channels.open());
  auto remote = channels.remoteChannel();
  ASSERT_TRUE(remote);

  const auto outageEnds = std::chrono::steady_clock::now() + kOutage;
  SctpImpairment outage;
  outage.filter = [outageEnds](const uint8_t*, size_t) {
    return std::chrono::steady_clock::now() >= outageEnds;
  };
  channels.peers.offerer->impairSctpForTesting(outage);
  ASSERT_TRUE(sendFrames(*channels.local, kFrames));
  ASSERT_TRUE(sendFrames(*remote, kFrames));

  EXPECT_TRUE(channels.remoteEvents.waitForFrames(kFrames, kOutage + test::scaledWait(30s)));
  EXPECT_TRUE(channels.localEvents.waitForFrames(kFrames, test::scaledWait(30s)));
  EXPECT_GE(std::chrono::steady_clock::now(), outageEnds) << "the outage held nothing back";
  const auto states = [](const std::vector<DCIceState>& list) {
    std::string text;
    for (const DCIceState state : list) text += description(state) + " ";
    return text;
  };
  EXPECT_FALSE(channels.peers.waitForEitherLost(0ms))
      << "a connection ended over the outage; offerer states "
      << states(channels.peers.offererStates()) << "answerer states "
      << states(channels.peers.answererStates());
  for (const auto& peer : {channels.peers.offerer, channels.peers.answerer}) {
    const auto status = peer->sctpStatusForTesting();
    ASSERT_TRUE(status);
    EXPECT_GT(status->retransmissionTimeouts, 2u) << status->describe();
  }
}

}  // namespace
}  // namespace ombrelia::datachannel
