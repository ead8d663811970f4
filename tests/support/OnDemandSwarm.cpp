#include "support/OnDemandSwarm.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>

#include "support/ResidentMemory.hpp"
#include "support/SampleStream.hpp"
#include "support/SegmentDigests.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

void OnDemandSwarm::SetUp() {
  tracker = std::make_unique<LocalTracker>(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker->url()) << "no tracker";
  const std::string folder = SampleStream::folder("ts3", 60, 2);
  origin = std::make_unique<StreamOrigin>(folder);
  originDigests = SegmentDigests::ofFolder(folder);
  ASSERT_FALSE(originDigests.empty()) << "the sample stream has no segment";
}

HostViewer OnDemandSwarm::start(const std::string& name, const std::string& speed,
                                const std::vector<std::string>& extra,
                                std::optional<unsigned long> maxOpenFiles) {
  std::vector<std::string> options{"--speed", speed,         "--client-id", name,
                                   "--quiet", "--log-level", "3",           "--digests"};
  options.insert(options.end(), extra.begin(), extra.end());
  return HostViewer(
      name, tracker->startHost("play", origin->url("/master.m3u8"), options, {}, maxOpenFiles));
}

HostViewer OnDemandSwarm::startFirst(const std::string& name, const std::string& speed,
                                     const std::vector<std::string>& extra,
                                     std::optional<unsigned long> maxOpenFiles) {
  HostViewer viewer = start(name, speed, extra, maxOpenFiles);
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(std::chrono::seconds(10));
  while (!viewer.uuid() && std::chrono::steady_clock::now() < deadline) viewer.poll();
  EXPECT_TRUE(viewer.uuid()) << name << " never got its identifier";
  return viewer;
}

HostViewer OnDemandSwarm::startStaying(const std::string& name) {
  return HostViewer(name, tracker->startHost("play", origin->url("/master.m3u8"),
                                             {"--speed", "20", "--client-id", name, "--quiet",
                                              "--log-level", "3", "--stay"},
                                             viewerEnvironment()));
}

bool OnDemandSwarm::playedThrough(HostViewer& viewer, std::chrono::seconds bound) {
  return pollUntil(
      {&viewer}, [](HostViewer& v) { return v.uuid() && v.finished(); }, bound);
}

bool OnDemandSwarm::pollUntil(const std::vector<HostViewer*>& viewers,
                              const std::function<bool(HostViewer&)>& done,
                              std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(bound);
  for (;;) {
    bool all = true;
    for (HostViewer* v : viewers) {
      v->poll(std::chrono::milliseconds(10));
      all = all && done(*v);
    }
    if (all) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

long long OnDemandSwarm::expectEveryonePlayedTheOriginsBytes(
    const std::vector<HostViewer*>& viewers, const std::vector<std::string>& logWords) {
  EXPECT_TRUE(pollUntil(
      viewers, [](HostViewer& v) { return v.finished(); }, std::chrono::seconds(60)))
      << "a viewer never finished playing";
  long long fromPeers = 0;
  for (HostViewer* v : viewers) {
    SCOPED_TRACE(v->name());
    EXPECT_EQ(v->row("result"), "played");
    EXPECT_EQ(v->number("stalls"), 0);
    fromPeers += std::max(0LL, v->number("bytes from peers"));
    v->expectSegmentsMatch(originDigests);
    if (::testing::Test::HasFailure()) v->printLinesWith(logWords);
    v->process().stop(SIGTERM, scaledWait(std::chrono::seconds(10)));
  }
  return fromPeers;
}

}  // namespace ombrelia::test
