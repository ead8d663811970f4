#pragma once
// Test thread only: a fixture for tests that embed the library as an application does.

#include <gtest/gtest.h>

#include <ombrelia/Ombrelia.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/FullBuffer.hpp"
#include "support/HostViewer.hpp"
#include "support/StreamOrigin.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"

namespace ombrelia::test {

// The test's own tracker, on a certificate of its own authority; a folder of videos for the
// origin, which the test fills and starts; and the application, configured as the example host
// is, its player's buffer healthy so that its segments may come from peers. Example host viewers
// of the origin's videos meet the application through the tracker.
class EmbeddingApplication : public ::testing::Test {
 protected:
  // The folder of the origin's videos, named after `name` and the test's process.
  void makeRoot(const std::string& name);
  // Points the library at the tracker, with a proxy on a free port and loopback peers, and
  // starts analytics; cleanUpLibrary() undoes it.
  void configureLibrary();
  void cleanUpLibrary();

  std::unique_ptr<ProxyManager> startManager(const std::string& videoID,
                                             const std::string& clientID);
  static std::string localOf(const ProxyManager& manager, const std::string& originURL);
  // The example host playing the origin's `masterPath` with the tracker, `extra` added to its
  // options.
  std::unique_ptr<HostViewer> startHostViewer(const std::string& name,
                                              const std::string& masterPath,
                                              const std::vector<std::string>& extra);

  TestCertificates authority;
  TestTracker tracker{TestTracker::Settings{authority.issue({"localhost"}, {"127.0.0.1"})}};
  std::filesystem::path root;
  std::unique_ptr<StreamOrigin> origin;
  std::shared_ptr<AnalyticsManager> analytics;
  std::shared_ptr<FullBuffer> player = std::make_shared<FullBuffer>();  // held weakly by analytics
};

}  // namespace ombrelia::test
