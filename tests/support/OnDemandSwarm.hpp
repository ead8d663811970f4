#pragma once
// Test thread only: a fixture for tests that run several example viewers of one stream.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/HostViewer.hpp"
#include "support/LocalTracker.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {

// A 60 s on-demand stream in 2 s segments on a local origin, the test tracker, and the digest
// of every segment as the origin serves it.
class OnDemandSwarm : public ::testing::Test {
 protected:
  void SetUp() override;

  // An example viewer playing the stream at `speed` times real time, printing its digests;
  // `extra` is added to its options, and `maxOpenFiles`, if any, limits its descriptors.
  HostViewer start(const std::string& name, const std::string& speed,
                   const std::vector<std::string>& extra = {},
                   std::optional<unsigned long> maxOpenFiles = std::nullopt);
  // The same, waiting until it has its identifier, so later viewers find it in the group.
  HostViewer startFirst(const std::string& name, const std::string& speed,
                        const std::vector<std::string>& extra = {},
                        std::optional<unsigned long> maxOpenFiles = std::nullopt);
  // An example viewer playing the stream at 20 times real time that stays once it has played,
  // its memory measurable (viewerEnvironment()): one that participants of the tracker join.
  HostViewer startStaying(const std::string& name);
  // Polls the viewer until it has its identifier and has played the stream, or the bound passes.
  static bool playedThrough(HostViewer& viewer, std::chrono::seconds bound);
  // Polls every viewer until the condition holds for each, or the bound passes.
  static bool pollUntil(const std::vector<HostViewer*>& viewers,
                        const std::function<bool(HostViewer&)>& done, std::chrono::seconds bound);
  // Waits until every viewer has played to the end, expects each to have played the origin's
  // bytes without a stall, then stops it; on a failure, prints its lines holding any of
  // `logWords`. Answers the bytes all of them took from peers.
  long long expectEveryonePlayedTheOriginsBytes(const std::vector<HostViewer*>& viewers,
                                                const std::vector<std::string>& logWords);

  std::unique_ptr<LocalTracker> tracker;
  std::unique_ptr<StreamOrigin> origin;
  std::map<std::string, std::string> originDigests;
};

}  // namespace ombrelia::test
