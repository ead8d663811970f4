#include "support/EmbeddingApplication.hpp"

#include <unistd.h>

#include <cstdlib>

#include "api/HostSeams.hpp"

#include "support/HostProgram.hpp"

namespace ombrelia::test {
namespace {

// What the example host names its key: peers exchange segments within one key.
constexpr const char* kKey = "demo-key";

}  // namespace

void EmbeddingApplication::makeRoot(const std::string& name) {
  root = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
}

void EmbeddingApplication::configureLibrary() {
  ::setenv("SSL_CERT_FILE", authority.caFile().c_str(), 1);
  if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure(kKey);
  OmbreliaConfig::shared().setCurrentLevel(0);
  HostSeams::overrideTrackerEndpoint(tracker.url("127.0.0.1"));
  HostSeams::overrideProxyPort(0);
  HostSeams::useLoopbackPeers();
  analytics = AnalyticsManager::create();
  analytics->setDelegate(player);
  analytics->trackBuffering();
}

void EmbeddingApplication::cleanUpLibrary() {
  if (analytics) analytics->cleanup();
  ManifestManager::shared().cleanup();
  VideoStorageManager::shared().removeAll();
  HostSeams::overrideTrackerEndpoint(std::nullopt);
  HostSeams::overrideProxyPort(std::nullopt);
  ::unsetenv("SSL_CERT_FILE");
}

std::unique_ptr<ProxyManager> EmbeddingApplication::startManager(const std::string& videoID,
                                                                 const std::string& clientID) {
  auto manager = std::make_unique<ProxyManager>(videoID, clientID, *analytics);
  EXPECT_TRUE(manager->startServer());
  return manager;
}

std::string EmbeddingApplication::localOf(const ProxyManager& manager,
                                          const std::string& originURL) {
  const auto local = manager.reverseProxyURL(*Url::parse(originURL));
  return local ? local->toString() : std::string();
}

std::unique_ptr<HostViewer> EmbeddingApplication::startHostViewer(
    const std::string& name, const std::string& masterPath, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{kHost, "play", origin->url(masterPath), "--port", "0"};
  argv.insert(argv.end(), {"--tracker", tracker.url("127.0.0.1").toString()});
  argv.insert(argv.end(), extra.begin(), extra.end());
  return std::make_unique<HostViewer>(
      name, std::make_unique<ChildProcess>(
                argv, ChildProcess::Settings{
                          .captureStdout = true,
                          .extraEnvironment = {"SSL_CERT_FILE=" + authority.caFile().string()}}));
}

}  // namespace ombrelia::test
