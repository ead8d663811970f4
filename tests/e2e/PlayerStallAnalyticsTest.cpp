// The example player behind an origin too slow for the stream: its buffer runs dry, it reports
// the stall to the library as a player integration does, and the analytics records that reach
// the tracker carry it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <map>
#include <regex>

#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

TEST(PlayerStallAnalytics, AStallOnASlowOriginReachesTheTrackersRecords) {
  TestCertificates authority;
  TestTracker tracker(TestTracker::Settings{authority.issue({"localhost"}, {"127.0.0.1"})});
  // About 30 s of media at twice real time through an origin that sends under 1.5 s of media a
  // second: the first stall comes seconds after the start, then more, across several records.
  StreamOrigin origin(SampleStream::folder("ts3", 30, 2));
  ASSERT_TRUE(origin.running());
  ChildProcess player(
      {kHost, "play", origin.url("/slow/master.m3u8"), "--port", "0", "--tracker",
       tracker.url("127.0.0.1").toString(), "--speed", "2", "--quiet"},
      ChildProcess::Settings{.captureStdout = true,
                             .extraEnvironment = {"SSL_CERT_FILE=" + authority.caFile().string()}});
  std::map<std::string, std::string> table;
  const std::regex row(R"(^([a-z][a-z ]*[a-z]) {2,}(.+)$)");
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (!table.count("seconds stalled") && std::chrono::steady_clock::now() < deadline) {
    if (auto line = player.readLine(100ms)) {
      std::smatch m;
      if (std::regex_match(*line, m, row)) table[m[1]] = m[2];
    }
  }
  ASSERT_TRUE(table.count("seconds stalled")) << "the player never finished";
  EXPECT_EQ(table.at("result"), "played");
  const int playerStalls = std::stoi(table.at("stalls"));
  EXPECT_GT(playerStalls, 0) << "the slow origin never made the player stall";

  int64_t recordedStalls = 0;
  bool stalledAtAReport = false;
  int64_t secondsRebuffering = 0;
  int records = 0;
  for (const auto& message : tracker.received("analytics")) {
    const auto json = nlohmann::json::parse(message.text, nullptr, false);
    ASSERT_TRUE(json.is_object()) << message.text;
    const auto& data = json["data"];
    if (!data.contains("nbrStalls")) continue;  // the init record
    ++records;
    recordedStalls += data["nbrStalls"].get<int64_t>();
    stalledAtAReport = stalledAtAReport || data["isStalled"].get<int64_t>() == 1;
    secondsRebuffering += data["sec_rebuff"].get<int64_t>();
  }
  ASSERT_GT(records, 0) << "no analytics record reached the tracker";
  EXPECT_GT(recordedStalls, 0) << "no record counts a stall";
  // A record covers one interval; the last interval may end with the process, unreported.
  EXPECT_LE(recordedStalls, playerStalls);
  EXPECT_TRUE(stalledAtAReport || secondsRebuffering > 0)
      << "no record shows a stall in progress or its length";
  player.stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
