#include <ombrelia/Ombrelia.hpp>

#include <cstdio>

namespace {

// Reaches the managers, which start threads and sockets, only when asked: built against the
// installed library, this still fails to link if any of their calls is not exported.
int useEveryManager() {
  using namespace ombrelia;
  auto analytics = AnalyticsManager::create();
  analytics->trackBuffering();
  ProxyManager proxy("video-1", "client-1", *analytics);
  if (!proxy.startServer()) {
    const auto error = proxy.lastStartError();
    std::printf("consumer: not listening: %s\n", error ? error->description.c_str() : "-");
  }
  const auto local = proxy.reverseProxyURL(*Url::parse("http://origin.test/index.m3u8"));
  std::printf("consumer: %s %d %.1f %zu %lld\n", local ? local->toString().c_str() : "-",
              proxy.isListening() ? 1 : 0, analytics->getGreenScore(),
              ManifestManager::shared().getResolutions().size(),
              static_cast<long long>(PeerListManager::shared().connectedPeerCount()));
  VideoStorageManager::shared().removeAll();
  proxy.cleanup();
  analytics->cleanup();
  return 0;
}

}  // namespace

int main(int argc, char**) {
  ombrelia::OmbreliaConfig::configure("key-1");
  std::printf("consumer: configured %s\n",
              ombrelia::OmbreliaConfig::shared().ombreliaKey().c_str());
  if (argc > 1) return useEveryManager();

  // The value types and the logger settings run here: they touch nothing outside the process.
  const auto url = ombrelia::Url::parse("http://origin.test/a/../b/seg.ts");
  const ombrelia::Data data(std::string("bytes"));
  ombrelia::OLoggerConfig::shared().setActiveLogLevel(
      ombrelia::makeOLogLevel(1).value_or(ombrelia::OLogLevel::none));
  std::printf(
      "consumer: %s %zu %s %d\n", url ? url->standardized().toString().c_str() : "-",
      data.slice(1, 3).size(), std::string(ombrelia::rawValue(ombrelia::OLogModule::proxy)).c_str(),
      ombrelia::OmbreliaLogger::isEnabled(ombrelia::OLogLevel::error, ombrelia::OLogModule::proxy)
          ? 1
          : 0);
  // The background and foreground as an application reports them.
  ombrelia::ApplicationState::enterBackground();
  const bool background = ombrelia::ApplicationState::isInBackground();
  ombrelia::ApplicationState::enterForeground();
  std::printf("consumer: background %d %d\n", background ? 1 : 0,
              ombrelia::ApplicationState::isInBackground() ? 1 : 0);
  return 0;
}
