// One example viewer, once it has played, takes offers from 24 participants of the tracker whose
// connections are real. Each shuts its receive window and asks for a segment every millisecond:
// every ask is answered, and no answer can leave. What the viewer holds stays within the send
// budget of all its connections plus each connection's SCTP buffer, what it writes to its log
// stays a few lines a participant, and a viewer that joins meanwhile plays the stream whole.
// One such participant asking for a minute leaves a few lines in all the viewer writes, and a
// peer that reads segments and leaves mid-transfer is counted as uploaded what it received.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "datachannel/SctpTransport.hpp"
#include "support/CpuTime.hpp"
#include "support/HostViewer.hpp"
#include "support/OnDemandSwarm.hpp"
#include "support/ResidentMemory.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

using SendBudget = OnDemandSwarm;

// Under a sanitizer the viewer takes asks several times slower: fewer participants, asking less
// often, still hold answers past the budget.
const bool kBudgetSanitized = kSanitizerSlowdown > 1;
const size_t kParticipants = kBudgetSanitized ? 6 : 24;
const size_t kAskIntervalMs = kBudgetSanitized ? 4 : 2;
const size_t kSeconds = kBudgetSanitized ? 15 : 25;
constexpr size_t kBudgetMiB = size_t{1} << 20;
// Per connection, beside the budget: usrsctp's send buffer, which each connection fills before its
// own queue takes anything (its bookkeeping of each message counted), and the asks it receives
// faster than the viewer takes them, up to the connection's receive bound.
constexpr size_t kSctpSendBuffer = kBudgetMiB;
constexpr size_t kReceived = kBudgetMiB;
// Handling thousands of asks a second, the waiting list of asks, the honest viewer served, and
// room for the allocator's own keeping.
constexpr size_t kBudgetWorking = 16 * kBudgetMiB;
// What the viewer may write over the flood: a connection's first refused send and its end, and
// the odd line of the viewer's own, per participant.
constexpr size_t kMaxLogLinesPerParticipant = 4;
const size_t kMaxLogLines = kParticipants * kMaxLogLinesPerParticipant;

// The lines the viewer writes at the error level, as the README's embedding sets it, while one
// participant asks for a minute: its first refused answer and a summary of the repeats for its
// connection, and the end of a connection or two. Before they were bounded, such a participant
// made the viewer write some 46,000 error lines a second.
constexpr size_t kMaxErrorLinesForOneAskingParticipant = 4;
// The minute; under a sanitizer a shorter stretch still shows the lines do not grow with it.
const size_t kAskingSeconds = kBudgetSanitized ? 20 : 60;
// Segments the reading peer takes whole before it leaves mid-transfer, and how long it stays
// with its window shut once the last has begun.
constexpr size_t kSegmentsRead = 5;
constexpr size_t kLingeringMs = 2000;
// What the viewer may count that the peer never had, or the peer have that the viewer's last
// look had not counted yet as it left: a frame acknowledged chunk by chunk and never completed,
// and a frame acknowledged in the moment before the connection ended.
constexpr long long kFrameBytes = 15'924;

TEST_F(SendBudget, ParticipantsThatReadNothingHoldTheViewerToItsBudgetAndFewLogLines) {
  HostViewer viewer = startStaying("viewer-1");
  ASSERT_TRUE(playedThrough(viewer, 60s)) << "the viewer never played the stream";
  const auto joined = tracker->joinAskers(*viewer.uuid(), kParticipants);
  ASSERT_TRUE(joined && *joined == kParticipants)
      << joined.value_or(0) << " of " << kParticipants << " participants' channels opened";

  const pid_t pid = viewer.process().pid();
  viewer.poll();
  // The lines the error level, as the README's embedding sets it, would print.
  const auto errorLines = [&] {
    return static_cast<size_t>(std::count_if(
        viewer.lines().begin(), viewer.lines().end(),
        [](const std::string& line) { return line.find("] [Error] [") != std::string::npos; }));
  };
  const size_t linesBefore = errorLines();
  bool asking = false;
  std::optional<HostViewer> honest;
  // Reads the viewer's output over a stretch of the asks, as long in any build as the asks are:
  // a stretch scaled for a sanitizer ran on for minutes after they had ended.
  const auto pollFor = [&viewer](std::chrono::seconds stretch) {
    const auto end = std::chrono::steady_clock::now() + stretch;
    while (std::chrono::steady_clock::now() < end && viewer.openDescriptors() >= 0) {
      viewer.poll(10ms);
    }
  };
  const Growth growth = residentGrowthOf(pid, [&] {
    asking = tracker->askSteadily(kAskIntervalMs, kSeconds);
    if (!asking) return;
    // Halfway, an honest viewer joins and plays.
    pollFor(std::chrono::seconds(kSeconds / 2));
    honest.emplace(start("viewer-2", "20"));
    pollFor(std::chrono::seconds(kSeconds - kSeconds / 2));
  });
  ASSERT_TRUE(asking) << "the participants could not ask";
  viewer.poll();
  const size_t lines = errorLines() - linesBefore;
  const size_t bound =
      kResidentPerHeapByte * (datachannel::SctpTransport::kMaxQueuedBytesAllTransports +
                              kParticipants * (kSctpSendBuffer + kReceived) + kBudgetWorking) +
      kQuarantineBytes;
  std::printf(
      "viewer resident peak %.1f MiB above what it held before the asks, %.1f MiB above it "
      "after (bound %.1f MiB); %zu error lines; %zu participants' connections ended\n",
      static_cast<double>(growth.peak) / kBudgetMiB, static_cast<double>(growth.held) / kBudgetMiB,
      static_cast<double>(bound) / kBudgetMiB, lines, tracker->askersEnded().value_or(0));
  ASSERT_GE(viewer.openDescriptors(), 0) << "the viewer did not outlast the participants";
  EXPECT_LE(growth.peak, bound) << "participants that read nothing grew the viewer past the bound";
  EXPECT_LE(lines, kMaxLogLines);
  if (lines > kMaxLogLines) viewer.printLinesWith({"] [Error] ["});
  ASSERT_TRUE(honest);
  std::vector<HostViewer*> both{&*honest};
  expectEveryonePlayedTheOriginsBytes(both, {"Error"});
  viewer.process().stop(SIGTERM, test::scaledWait(10s));
}

TEST_F(SendBudget, OneParticipantAskingForAMinuteWritesFewLinesAndAPeerLeavingIsCountedWhatItGot) {
  HostViewer viewer("viewer-1", tracker->startHost("play", origin->url("/master.m3u8"),
                                                   {"--speed", "20", "--client-id", "viewer-1",
                                                    "--quiet", "--log-level", "3", "--stay"},
                                                   viewerEnvironment()));
  ASSERT_TRUE(pollUntil(
      {&viewer}, [](HostViewer& v) { return v.uuid() && v.finished(); }, 60s))
      << "the viewer never played the stream";
  ASSERT_EQ(viewer.number("bytes sent to peers"), 0);
  ASSERT_EQ(tracker->joinAskers(*viewer.uuid(), 1), 1u) << "the participant's channel never opened";
  viewer.poll();
  const auto errorLines = [&](size_t from) {
    std::vector<std::string> kept;
    for (size_t i = from; i < viewer.lines().size(); ++i)
      if (viewer.lines()[i].find("] [Error] [") != std::string::npos)
        kept.push_back(viewer.lines()[i]);
    return kept;
  };
  const size_t linesBefore = viewer.lines().size();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(tracker->askSteadily(kAskIntervalMs / 2, kAskingSeconds))
      << "the participant could not ask";
  // Meanwhile a peer reads segments, then leaves in the middle of one with frames queued for it.
  // The viewer's output is read all the while: a full pipe would hold the viewer up.
  std::optional<LocalTracker::Fetched> fetched;
  std::atomic<bool> fetching{true};
  std::thread reader([&] {
    fetched = tracker->fetchThenLeave(*viewer.uuid(), kSegmentsRead, kLingeringMs);
    fetching = false;
  });
  while (fetching) viewer.poll(10ms);
  reader.join();
  // The rest of the stretch, as long in any build.
  const auto end = start + std::chrono::seconds(kAskingSeconds);
  while (std::chrono::steady_clock::now() < end && viewer.openDescriptors() >= 0) viewer.poll(10ms);
  viewer.poll();
  const std::vector<std::string> written = errorLines(linesBefore);
  const size_t lines = written.size();
  ASSERT_GE(viewer.openDescriptors(), 0) << "the viewer did not outlast the participant";
  // Stopped, the viewer prints its totals again, with what it served meanwhile. Its teardown
  // (every peer connection closed in turn) takes seconds under a sanitizer on a loaded machine;
  // a viewer killed before it printed them would leave only its first totals to read.
  ASSERT_EQ(viewer.process().stop(SIGTERM, test::scaledWait(10s)), 0)
      << "the viewer did not stop in time to print its totals";
  viewer.poll();
  const long long counted = viewer.number("bytes sent to peers");
  ASSERT_TRUE(fetched) << "the reading peer never joined";
  const auto received = static_cast<long long>(fetched->frameBytes);
  std::printf(
      "%zu error lines over %zu s of asking; counted as uploaded %lld bytes, the peer received "
      "%lld (%zu segments whole)\n",
      lines, kAskingSeconds, counted, received, fetched->wholeSegments);
  EXPECT_LE(lines, kMaxErrorLinesForOneAskingParticipant);
  for (const auto& line : written) std::printf("  %s\n", line.c_str());
  EXPECT_EQ(fetched->wholeSegments, kSegmentsRead);
  EXPECT_LE(counted, received + kFrameBytes) << "bytes that never reached the peer were counted";
  EXPECT_GE(counted + kFrameBytes, received);
}

}  // namespace
}  // namespace ombrelia::test
