// Two processes of the example host application and the test tracker, all on loopback: the
// viewers learn their identifiers, meet through a group response, negotiate through the
// tracker, and open their "P2P" channel; when one dies, the other finds it out on its own
// connection and drops it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>

#include "support/ChildProcess.hpp"
#include "support/LocalTracker.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One viewer: its output is read as it comes, and the moments of interest are noted.
struct RunningViewer {
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;
  std::optional<Clock::time_point> groupResponse;
  std::optional<Clock::time_point> connected;
  std::optional<Clock::time_point> channelOpen;
  std::vector<std::string> removed;

  void poll() {
    while (auto line = process->readLine(20ms)) {
      static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
      static const std::regex groupLine(R"(Group response update, list: \[.+\])");
      static const std::regex connectedLine(R"(did change connection state for [0-9A-F-]{36}: 2)");
      static const std::regex openLine(R"(localDataChannel is open|remote channel "P2P" opened)");
      static const std::regex removeLine(
          R"(peer removed after disconnected/failed. UUID: ([0-9A-F-]{36}))");
      std::smatch m;
      if (std::regex_search(*line, m, uuidLine)) uuid = m[1];
      if (!groupResponse && std::regex_search(*line, groupLine)) groupResponse = Clock::now();
      if (!connected && std::regex_search(*line, connectedLine)) connected = Clock::now();
      if (!channelOpen && std::regex_search(*line, openLine)) channelOpen = Clock::now();
      if (std::regex_search(*line, m, removeLine)) removed.push_back(m[1]);
    }
  }
};

TEST(TwoViewers, MeetThroughTheTrackerOpenTheirChannelAndDropADeadPeer) {
  // The tracker never announces a departure: the dead peer must be found out by the WebRTC
  // connection itself.
  LocalTracker tracker(/*groupAfterUuid=*/true, /*announceDepartures=*/false);
  ASSERT_TRUE(tracker.url()) << "no tracker";
  StreamOrigin origin(SampleStream::folder("ts3"));
  auto start = [&] {
    RunningViewer v;
    v.process = tracker.startHost("serve", origin.url("/master.m3u8"), {"--log-level", "3"});
    return v;
  };
  RunningViewer first = start();
  // The first viewer alone gets an empty group; the second is introduced to it.
  const auto firstDeadline = Clock::now() + test::scaledWait(10s);
  while (!first.uuid && Clock::now() < firstDeadline) first.poll();
  ASSERT_TRUE(first.uuid) << "the first viewer never got its identifier";
  RunningViewer second = start();

  const auto deadline = Clock::now() + test::scaledWait(20s);
  while (Clock::now() < deadline &&
         !(first.connected && first.channelOpen && second.connected && second.channelOpen)) {
    first.poll();
    second.poll();
  }
  ASSERT_TRUE(second.uuid);
  ASSERT_TRUE(second.groupResponse) << "the second viewer was never introduced";
  ASSERT_TRUE(first.connected && second.connected) << "the peers never connected";
  ASSERT_TRUE(first.channelOpen && second.channelOpen) << "the P2P channel never opened";
  const auto lastOpen = std::max(*first.channelOpen, *second.channelOpen);
  EXPECT_LT(lastOpen - *second.groupResponse, 5s) << "too slow from group response to channel";

  // One viewer dies without a word; the other drops it once its connection falls silent.
  second.process->stop(SIGKILL, 5s);
  const auto removalDeadline = Clock::now() + test::scaledWait(40s);
  while (Clock::now() < removalDeadline && std::find(first.removed.begin(), first.removed.end(),
                                                     *second.uuid) == first.removed.end()) {
    first.poll();
  }
  EXPECT_NE(std::find(first.removed.begin(), first.removed.end(), *second.uuid),
            first.removed.end())
      << "the dead peer was never removed";
  first.process->stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
