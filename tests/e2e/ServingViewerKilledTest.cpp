// Three processes of the example host application play one stream through the test tracker.
// The viewer that serves the others is killed (SIGKILL) while it is sending them segments: the
// two left keep playing without a stall, and every segment their players got is the origin's
// file byte for byte.
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
  std::string name;
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;
  std::optional<std::string> result;
  std::optional<int> stalls;
  std::optional<long long> bytesFromPeers;
  bool uploading = false;  // it has started sending a segment to a peer
  std::vector<std::pair<std::string, std::string>> digests;
  std::vector<std::string> lines;

  void poll() {
    while (auto line = process->readLine(10ms)) {
      static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
      static const std::regex resultLine(R"(^result\s+(.+))");
      static const std::regex stallsLine(R"(^stalls\s+(\d+))");
      static const std::regex peersLine(R"(^bytes from peers\s+(\d+))");
      std::smatch m;
      if (std::regex_search(*line, m, uuidLine)) uuid = m[1];
      if (std::regex_search(*line, m, resultLine)) result = m[1];
      if (std::regex_search(*line, m, stallsLine)) stalls = std::stoi(m[1]);
      if (std::regex_search(*line, m, peersLine)) bytesFromPeers = std::stoll(m[1]);
      if (line->find("segment is available: ") != std::string::npos ||
          line->find("responde to peer about awaiting segment") != std::string::npos)
        uploading = true;
      if (auto digest = SegmentDigests::fromLine(*line)) digests.push_back(*digest);
      lines.push_back(*line);
    }
  }
};

TEST(ServingViewerKilled, OthersKeepPlayingTheOriginsBytesWithoutAStall) {
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";
  const std::string folder = SampleStream::folder("ts3", 60, 2);
  StreamOrigin origin(folder);
  const auto originDigests = SegmentDigests::ofFolder(folder);
  ASSERT_FALSE(originDigests.empty());
  auto start = [&](const std::string& name) {
    Viewer v;
    v.name = name;
    v.process =
        tracker.startHost("play", origin.url("/master.m3u8"),
                          {"--speed", "4", "--client-id", name, "--quiet", "--log-level", "3",
                           "--digests"});
    return v;
  };

  Viewer server = start("viewer-1");
  const auto firstDeadline = Clock::now() + 10s;
  while (!server.uuid && Clock::now() < firstDeadline) server.poll();
  ASSERT_TRUE(server.uuid) << "the first viewer never got its identifier";
  Viewer second = start("viewer-2");
  Viewer third = start("viewer-3");

  // Killed as soon as it sends a segment to another viewer.
  const auto killDeadline = Clock::now() + 40s;
  while (!server.uploading && Clock::now() < killDeadline && !server.result) {
    server.poll();
    second.poll();
    third.poll();
  }
  ASSERT_TRUE(server.uploading) << "the first viewer never served a segment";
  server.process->stop(SIGKILL, 10s);

  const auto deadline = Clock::now() + 60s;
  while (Clock::now() < deadline &&
         !(second.result && third.result && second.stalls && third.stalls &&
           second.bytesFromPeers && third.bytesFromPeers)) {
    second.poll();
    third.poll();
  }
  long long fromPeers = 0;
  for (Viewer* v : {&second, &third}) {
    SCOPED_TRACE(v->name);
    ASSERT_TRUE(v->result) << "never finished";
    EXPECT_EQ(*v->result, "played");
    ASSERT_TRUE(v->stalls);
    EXPECT_EQ(*v->stalls, 0) << "the player stalled after the serving viewer died";
    fromPeers += v->bytesFromPeers.value_or(0);
    EXPECT_FALSE(v->digests.empty());
    for (const auto& [path, digest] : v->digests) {
      const auto expected = originDigests.find(path);
      ASSERT_NE(expected, originDigests.end()) << path;
      EXPECT_EQ(digest, expected->second) << path << " differs from the origin's";
    }
    if (::testing::Test::HasFailure()) {
      for (const auto& line : v->lines)
        if (line.find("PeerMessagesController") != std::string::npos ||
            line.find("P2PUpload") != std::string::npos)
          std::printf("%s: %s\n", v->name.c_str(), line.c_str());
    }
  }
  std::printf("bytes from peers, both viewers: %lld\n", fromPeers);
  EXPECT_GT(fromPeers, 0) << "no segment came from a peer: the kill tested nothing";
  second.process->stop(SIGTERM, 10s);
  third.process->stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
