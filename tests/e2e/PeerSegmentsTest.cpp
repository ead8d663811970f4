// Two processes of the example host application play one stream through their own proxies,
// meet through the test tracker, and the later one takes some of its segments from the earlier
// one over their data channel.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>

#include "support/ChildProcess.hpp"
#include "support/LocalTracker.hpp"
#include "support/SampleStream.hpp"
#include "support/SegmentDigests.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Viewer {
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;
  std::optional<long long> bytesFromPeers;
  std::optional<std::string> result;
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, std::string>> digests;  // path, SHA-256, as played

  void poll() {
    while (auto line = process->readLine(20ms)) {
      static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
      static const std::regex peersLine(R"(^bytes from peers\s+(\d+))");
      static const std::regex resultLine(R"(^result\s+(.+))");
      std::smatch m;
      if (std::regex_search(*line, m, uuidLine)) uuid = m[1];
      if (std::regex_search(*line, m, peersLine)) bytesFromPeers = std::stoll(m[1]);
      if (std::regex_search(*line, m, resultLine)) result = m[1];
      if (auto digest = SegmentDigests::fromLine(*line)) digests.push_back(*digest);
      lines.push_back(*line);
    }
  }
};

TEST(PeerSegments, SecondViewerTakesSegmentsFromTheFirst) {
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";
  const std::string folder = SampleStream::folder("ts3", 60, 2);
  StreamOrigin origin(folder);
  const auto originDigests = SegmentDigests::ofFolder(folder);
  ASSERT_FALSE(originDigests.empty());
  auto start = [&](const std::string& name) {
    Viewer v;
    v.process =
        tracker.startHost("play", origin.url("/master.m3u8"),
                          {"--speed", "6", "--client-id", name, "--quiet", "--log-level", "3",
                           "--digests"});
    return v;
  };
  Viewer first = start("viewer-1");
  const auto firstDeadline = Clock::now() + 10s;
  while (!first.uuid && Clock::now() < firstDeadline) first.poll();
  ASSERT_TRUE(first.uuid) << "the first viewer never got its identifier";
  Viewer second = start("viewer-2");

  const auto deadline = Clock::now() + 40s;
  while (Clock::now() < deadline && !(first.result && second.result)) {
    first.poll();
    second.poll();
  }
  ASSERT_TRUE(second.result) << "the second viewer never finished";
  EXPECT_EQ(*second.result, "played");
  ASSERT_TRUE(second.bytesFromPeers);
  std::printf("bytes from peers: %lld\n", *second.bytesFromPeers);
  EXPECT_GT(*second.bytesFromPeers, 0) << "no segment came from the first viewer";
  // Every segment the player got, those from the first viewer included, is the origin's file.
  EXPECT_FALSE(second.digests.empty());
  for (const auto& [path, digest] : second.digests) {
    const auto expected = originDigests.find(path);
    ASSERT_NE(expected, originDigests.end()) << path;
    EXPECT_EQ(digest, expected->second) << path << " differs from the origin's";
  }
  if (::testing::Test::HasFailure()) {
    for (const auto& line : second.lines)
      if (line.find("PeerMessagesController") != std::string::npos ||
          line.find("P2PUpload") != std::string::npos || line.find("Decision") != std::string::npos)
        std::printf("%s\n", line.c_str());
  }
  first.process->stop(SIGTERM, 10s);
  second.process->stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
