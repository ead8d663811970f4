// Closing channels over a path that loses some or all SCTP packets for a while: what each side
// sends is read off the wire (the RE-CONFIG chunks that carry stream resets), and what the
// channels report is checked against it.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <ombrelia/OLoggerConfig.hpp>
#include <set>
#include <string>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/OpenChannels.hpp"
#include "support/SctpWireLog.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::datachannel {
namespace {

using namespace std::chrono_literals;
using test::ChannelRecorder;
using test::LoopbackPeers;
using test::OpenChannels;
using test::SctpWireLog;

// Which of one side's packets the path loses.
enum class Loss { none, all, dataWithoutReset, resets };

// Timeouts of a connection that rides out an outage of 25 s without reporting the peer lost.
DCConfiguration patientConfig() {
  auto config = LoopbackPeers::loopbackConfig();
  config.consentTimeout = 30s;
  config.failedTimeout = 10s;
  return config;
}

// The offerer's "P2P" channel and further channels it opens, each side's outgoing packets
// logged from the start.
class ClosingPath {
 public:
  ClosingPath(const DCConfiguration& config, const std::vector<std::string>& labels)
      : channels_(LoopbackPeers::Options{}, config, config), labels_(labels) {
    lose(Loss::none, Loss::none);
  }

  // Every channel open on both sides and every data chunk acknowledged, so that what follows
  // starts from a quiet association.
  bool open() {
    if (!channels_.open()) return false;
    // After the "P2P" channel, whose announcement OpenChannels records.
    channels_.peers.answerer->onDataChannel([remote = remote_](std::shared_ptr<DCDataChannel> c) {
      std::lock_guard lock(remote->mutex);
      remote->recorders[c->label()].attach(c);
    });
    for (const auto& label : labels_) {
      extras_[label] = channels_.peers.offerer->createDataChannel(label);
      local_[label].attach(extras_[label]);
    }
    for (auto& [label, events] : local_) {
      if (!events.waitForEvent("open", test::scaledWait(5s)) ||
          !remote(label).waitForEvent("open", test::scaledWait(5s)))
        return false;
    }
    return answererWire.waitForAcknowledgement(offererWire.lastDataTsn(), test::scaledWait(5s)) &&
           offererWire.waitForAcknowledgement(answererWire.lastDataTsn(), test::scaledWait(5s));
  }

  void lose(Loss offerer, Loss answerer) {
    channels_.peers.offerer->impairSctpForTesting(path(offererWire, offerer));
    channels_.peers.answerer->impairSctpForTesting(path(answererWire, answerer));
  }

  std::shared_ptr<DCDataChannel> extra(const std::string& label) { return extras_.at(label); }
  ChannelRecorder& local(const std::string& label) { return local_.at(label); }
  ChannelRecorder remote(const std::string& label) {
    std::lock_guard lock(remote_->mutex);
    return remote_->recorders[label];
  }
  OpenChannels& channels() { return channels_; }

  SctpWireLog offererWire;
  SctpWireLog answererWire;

 private:
  static SctpImpairment path(SctpWireLog& log, Loss loss) {
    SctpImpairment impairment;
    impairment.filter = [tap = log.tap(), loss](const uint8_t* packet, size_t size) {
      tap(packet, size);
      const bool reset = SctpWireLog::carries(packet, size, SctpWireLog::kReconfigChunk);
      switch (loss) {
        case Loss::none:
          return true;
        case Loss::all:
          return false;
        case Loss::dataWithoutReset:
          return reset || !SctpWireLog::carries(packet, size, SctpWireLog::kDataChunk);
        case Loss::resets:
          return !reset;
      }
      return true;
    };
    return impairment;
  }

  struct Remote {
    std::mutex mutex;
    std::map<std::string, ChannelRecorder> recorders;
  };
  OpenChannels channels_;
  const std::vector<std::string> labels_;
  std::map<std::string, std::shared_ptr<DCDataChannel>> extras_;
  std::map<std::string, ChannelRecorder> local_;
  std::shared_ptr<Remote> remote_ = std::make_shared<Remote>();
};

// The distinct requests (retransmissions folded), in the order they first left.
std::vector<SctpWireLog::Request> distinct(const std::vector<SctpWireLog::Request>& requests) {
  std::vector<SctpWireLog::Request> result;
  std::set<uint32_t> seen;
  for (const auto& request : requests) {
    if (seen.insert(request.sequence).second) result.push_back(request);
  }
  return result;
}

TEST(DataChannelCloseTest, AChannelClosedDuringALongOutageClosesOnceThePathRecovers) {
  ClosingPath path(patientConfig(), {"x"});
  ASSERT_TRUE(path.open());
  const uint16_t stream = *path.extra("x")->id();
  path.lose(Loss::all, Loss::all);
  path.extra("x")->close();
  EXPECT_FALSE(path.local("x").waitForEvent("closed", 25s))
      << "the channel closed while nothing reached the peer: SCTP gave the association up";
  path.lose(Loss::none, Loss::none);
  EXPECT_TRUE(path.local("x").waitForEvent("closed", test::scaledWait(15s)))
      << "the close never completed";
  EXPECT_TRUE(path.remote("x").waitForEvent("closed", test::scaledWait(15s)))
      << "the peer never saw the close";
  EXPECT_EQ(path.channels().peers.offerer->state(), DCIceState::connected);
  EXPECT_TRUE(path.channels().carries("after the outage"));
  const auto requests = distinct(path.offererWire.requests());
  ASSERT_EQ(requests.size(), 1u) << "one close, one request";
  EXPECT_EQ(requests[0].streams, std::vector<uint16_t>{stream});
}

TEST(DataChannelCloseTest, ClosesGoOneAtATimeAndOnlyOnceThePeerHoldsTheDataSentBeforeThem) {
  ClosingPath path(patientConfig(), {"x", "y"});
  ASSERT_TRUE(path.open());
  const uint16_t x = *path.extra("x")->id();
  const uint16_t y = *path.extra("y")->id();
  path.lose(Loss::all, Loss::all);
  path.extra("x")->close();
  ASSERT_TRUE(path.channels().local->sendText("behind x"));
  EXPECT_FALSE(path.local("x").waitForEvent("closed", 6s));
  path.extra("y")->close();
  ASSERT_TRUE(path.channels().local->sendText("behind y"));
  EXPECT_FALSE(path.local("y").waitForEvent("closed", 5s));
  // Stream resets and acknowledgements get through, the offerer's data does not yet: x's close
  // can complete, y's must wait for the data sent before it.
  path.lose(Loss::dataWithoutReset, Loss::none);
  EXPECT_TRUE(path.local("x").waitForEvent("closed", test::scaledWait(15s)))
      << "x's close never completed";
  EXPECT_TRUE(path.remote("x").waitForEvent("closed", test::scaledWait(15s)))
      << "the peer never saw x's close";
  path.lose(Loss::none, Loss::none);
  EXPECT_TRUE(path.remote("y").waitForEvent("closed", test::scaledWait(15s)))
      << "the peer never carried out y's reset: it was parked ahead of its data";
  EXPECT_TRUE(path.local("y").waitForEvent("closed", test::scaledWait(15s)))
      << "y's close never completed";
  EXPECT_TRUE(path.channels().remoteEvents.waitForFrames(2, test::scaledWait(10s)));

  const auto requests = distinct(path.offererWire.requests());
  ASSERT_EQ(requests.size(), 2u) << "two closes, two requests";
  EXPECT_EQ(requests[0].streams, std::vector<uint16_t>{x});
  EXPECT_EQ(requests[1].streams, std::vector<uint16_t>{y});
  for (const auto& response : path.answererWire.responses()) {
    EXPECT_NE(response.result, SctpWireLog::kInProgress)
        << "request " << response.sequence << " reached the peer ahead of the data it names";
  }
}

TEST(DataChannelCloseTest, ACloseThePeerNeverAnswersEndsLocallyWithALogLine) {
  // Short timeouts, so that the bound on an unanswered close passes soon.
  auto config = LoopbackPeers::loopbackConfig();
  config.consentTimeout = 3s;
  config.failedTimeout = 2s;
  ClosingPath path(config, {"x"});
  ASSERT_TRUE(path.open());
  path.lose(Loss::resets, Loss::none);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  path.extra("x")->close();
  const bool closed = path.local("x").waitForEvent("closed", test::scaledWait(15s));
  const std::string log = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_TRUE(closed) << "the channel was left closing for ever";
  EXPECT_NE(log.find("channel \"x\" closed without the peer"), std::string::npos) << log;
  EXPECT_EQ(path.channels().peers.offerer->state(), DCIceState::connected);
  EXPECT_TRUE(path.channels().carries("still up"));
  // SCTP kept sending the one request again on its own; nothing asked for another.
  EXPECT_GE(path.offererWire.requests().size(), 2u);
  EXPECT_EQ(distinct(path.offererWire.requests()).size(), 1u);
}

}  // namespace
}  // namespace ombrelia::datachannel
