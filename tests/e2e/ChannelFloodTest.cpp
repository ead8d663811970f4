// One example viewer, once it has played, takes an offer from a participant of the tracker whose
// connection is real, built on the library's own framework. Over it the participant opens a
// channel on every stream of its own, each with a label and a protocol of 65,535 bytes, sends on
// each, and never answers the viewer's resets. What the viewer holds for channels it did not
// open stays within the bound the README names, whatever the peer opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "peers/WebRTCClient.hpp"
#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"
#include "support/ResidentMemory.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

using ChannelFlood = OnDemandSwarm;

// Every stream of the peer's but the one its "P2P" channel took.
constexpr size_t kOpens = 511;
// The most the open message's length fields can say.
constexpr size_t kTextBytes = 65535;
constexpr size_t kMessagesEach = 2;
constexpr size_t kMiB = size_t{1} << 20;
// What one connection may hold for channels its peer opens: the channels it may keep at once,
// each with a label and a protocol of at most 64 KiB ...
constexpr size_t kHeld = WebRTCClient::kMaxRemoteChannels * 2 * kTextBytes;
// ... and, while it works, what handling opens one at a time takes (the message as SCTP hands it
// over and its copies, about 128 KiB each), SCTP's receive buffer of 1 MiB, and room for the
// allocator's own keeping, generously: a sanitizer's allocator keeps more.
constexpr size_t kFloodWorking = 8 * kMiB;

size_t lineCount(const HostViewer& viewer, const std::vector<std::string>& all) {
  return static_cast<size_t>(
      std::count_if(viewer.lines().begin(), viewer.lines().end(), [&](const std::string& line) {
        return std::all_of(all.begin(), all.end(), [&](const std::string& words) {
          return line.find(words) != std::string::npos;
        });
      }));
}

TEST_F(ChannelFlood,
       ViewerHoldsWithinItsBoundWhatAPeerOpeningLongLabelledChannelsOnEveryStreamSends) {
  HostViewer viewer = startStaying("viewer-1");
  // Played first, so that what the store keeps is in before the figures are taken.
  ASSERT_TRUE(playedThrough(viewer, 60s)) << "the viewer never played the stream";
  const auto participant = tracker->joinChannelOpener(*viewer.uuid());
  ASSERT_TRUE(participant) << "the participant's channel never opened";

  const pid_t pid = viewer.process().pid();
  viewer.poll();
  // The viewer says so of each open it refuses: the connection of those with another label (its
  // first at error level, the rest at debug level), the client of those labelled "P2P"; and of
  // each message that comes on a stream without a channel.
  const auto refused = [](const HostViewer& v) {
    return lineCount(v, {"channel open on stream", "refused"}) +
           lineCount(v, {"from the peer refused"});
  };
  bool sent = false;
  bool refusedAll = false;
  const Growth growth = residentGrowthOf(pid, [&] {
    sent = tracker->openChannels(kOpens, kTextBytes, kMessagesEach);
    if (!sent) return;
    refusedAll = pollUntil(
        {&viewer},
        [&](HostViewer& v) {
          return (refused(v) >= kOpens &&
                  lineCount(v, {"without a channel, dropped"}) >= kOpens * kMessagesEach) ||
                 v.openDescriptors() < 0;
        },
        90s);
  });
  ASSERT_TRUE(sent) << "the participant could not open its channels";
  const size_t bound = kResidentPerHeapByte * (kHeld + kFloodWorking) + kQuarantineBytes;
  std::printf(
      "viewer resident peak %.1f MiB above what it held before the channels, %.1f MiB above it "
      "after (bound %.1f MiB); %zu opens sent\n",
      static_cast<double>(growth.peak) / kMiB, static_cast<double>(growth.held) / kMiB,
      static_cast<double>(bound) / kMiB, tracker->channelsOpened().value_or(0));
  ASSERT_GE(viewer.openDescriptors(), 0) << "the viewer did not outlast the channels";
  EXPECT_TRUE(refusedAll) << "the viewer refused " << refused(viewer) << " of " << kOpens
                          << " opens and dropped "
                          << lineCount(viewer, {"without a channel, dropped"}) << " messages";
  EXPECT_LE(growth.peak, bound) << "the channels a peer opened grew the viewer past the bound";
  viewer.process().stop(SIGTERM, 10s);
}

// The participant shuts its receive window and opens "P2P" again and again on 8 of its streams:
// the viewer's client refuses each one it is handed, and the answer to each open the connection
// took waits in the viewer's send queue, since the shut window lets nothing leave. The viewer
// ends the connection once the participant has opened more channels than a connection's life
// allows, with what waits to be sent still a handful of entries.
TEST_F(ChannelFlood, ViewerEndsAConnectionWhosePeerReopensP2PWhileItsWindowIsShut) {
  HostViewer viewer = startStaying("viewer-1");
  ASSERT_TRUE(playedThrough(viewer, 60s)) << "the viewer never played the stream";
  ASSERT_TRUE(tracker->joinChannelOpener(*viewer.uuid()))
      << "the participant's channel never opened";

  constexpr size_t kStreams = 8;
  // Before the mend, the viewer answered some 1,000 opens a second for as long as the
  // participant went on; it now ends the connection after 64.
  constexpr size_t kSeconds = 30;
  const pid_t pid = viewer.process().pid();
  viewer.poll();
  bool ended = false;
  const Growth growth = residentGrowthOf(pid, [&] {
    if (!tracker->reopenChannels(kStreams, kSeconds)) return;
    ended = pollUntil(
        {&viewer},
        [&](HostViewer& v) {
          return lineCount(v, {"channels over the connection's life"}) > 0 ||
                 v.openDescriptors() < 0;
        },
        std::chrono::seconds(kSeconds + 10));
  });
  const size_t opens = tracker->channelsOpened().value_or(0);
  std::printf(
      "%zu opens sent; viewer resident peak %.1f MiB above what it held before, %.1f MiB "
      "after\n",
      opens, static_cast<double>(growth.peak) / kMiB, static_cast<double>(growth.held) / kMiB);
  ASSERT_GE(viewer.openDescriptors(), 0) << "the viewer did not outlast the opens";
  ASSERT_TRUE(ended) << "the connection is still up after " << opens << " opens of \"P2P\"";
  // The line names what waited to be sent as the connection ended.
  const auto line =
      std::find_if(viewer.lines().begin(), viewer.lines().end(), [](const std::string& l) {
        return l.find("channels over the connection's life") != std::string::npos;
      });
  ASSERT_NE(line, viewer.lines().end());
  std::printf("%s\n", line->c_str());
  const auto at = line->find(" entries queued");
  ASSERT_NE(at, std::string::npos) << *line;
  const auto from = line->rfind('(', at);
  const size_t entries = std::stoul(line->substr(from + 1, at - from - 1));
  EXPECT_LE(entries, 2 * WebRTCClient::kMaxRemoteChannelOpens)
      << "more answers and resets waited than the peer may open channels";
  EXPECT_LE(growth.peak, kResidentPerHeapByte * kFloodWorking + kQuarantineBytes)
      << "the opens grew the viewer past the bound";
  EXPECT_TRUE(pollUntil(
      {&viewer}, [&](HostViewer&) { return tracker->channelOpenerEnded().value_or(false); }, 10s))
      << "the participant's connection did not end";
  viewer.process().stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
