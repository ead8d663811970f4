// One example viewer, once it has played, takes offers from 24 participants of the tracker whose
// connections are real. Each shuts its receive window and asks for a segment every millisecond:
// every ask is answered, and no answer can leave. What the viewer holds stays within the send
// budget of all its connections plus each connection's SCTP buffer, what it writes to its log
// stays a few lines a participant, and a viewer that joins meanwhile plays the stream whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
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
const bool kSanitized = kSanitizerSlowdown > 1;
const size_t kParticipants = kSanitized ? 6 : 24;
const size_t kAskIntervalMs = kSanitized ? 4 : 2;
const size_t kSeconds = kSanitized ? 15 : 25;
constexpr size_t kMiB = size_t{1} << 20;
// Per connection, beside the budget: usrsctp's send buffer, which each connection fills before its
// own queue takes anything (its bookkeeping of each message counted), and the asks it receives
// faster than the viewer takes them, up to the connection's receive bound.
constexpr size_t kSctpSendBuffer = kMiB;
constexpr size_t kReceived = kMiB;
// Handling thousands of asks a second, the waiting list of asks, the honest viewer served, and
// room for the allocator's own keeping.
constexpr size_t kWorking = 16 * kMiB;
// What the viewer may write over the flood: a connection's first refused send and its end, and
// the odd line of the viewer's own, per participant.
constexpr size_t kMaxLogLinesPerParticipant = 4;
const size_t kMaxLogLines = kParticipants * kMaxLogLinesPerParticipant;

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
  const Growth growth = residentGrowthOf(pid, [&] {
    asking = tracker->askSteadily(kAskIntervalMs, kSeconds);
    if (!asking) return;
    // Halfway, an honest viewer joins and plays.
    pollUntil(
        {&viewer}, [](HostViewer& v) { return v.openDescriptors() < 0; },
        std::chrono::seconds(kSeconds / 2));
    honest.emplace(start("viewer-2", "20"));
    pollUntil(
        {&viewer}, [](HostViewer& v) { return v.openDescriptors() < 0; },
        std::chrono::seconds(kSeconds - kSeconds / 2));
  });
  ASSERT_TRUE(asking) << "the participants could not ask";
  viewer.poll();
  const size_t lines = errorLines() - linesBefore;
  const size_t bound =
      kResidentPerHeapByte * (datachannel::SctpTransport::kMaxQueuedBytesAllTransports +
                              kParticipants * (kSctpSendBuffer + kReceived) + kWorking) +
      kQuarantineBytes;
  std::printf(
      "viewer resident peak %.1f MiB above what it held before the asks, %.1f MiB above it "
      "after (bound %.1f MiB); %zu error lines; %zu participants' connections ended\n",
      static_cast<double>(growth.peak) / kMiB, static_cast<double>(growth.held) / kMiB,
      static_cast<double>(bound) / kMiB, lines, tracker->askersEnded().value_or(0));
  ASSERT_GE(viewer.openDescriptors(), 0) << "the viewer did not outlast the participants";
  EXPECT_LE(growth.peak, bound) << "participants that read nothing grew the viewer past the bound";
  EXPECT_LE(lines, kMaxLogLines);
  if (lines > kMaxLogLines) viewer.printLinesWith({"] [Error] ["});
  ASSERT_TRUE(honest);
  std::vector<HostViewer*> both{&*honest};
  expectEveryonePlayedTheOriginsBytes(both, {"Error"});
  viewer.process().stop(SIGTERM, test::scaledWait(10s));
}

}  // namespace
}  // namespace ombrelia::test
