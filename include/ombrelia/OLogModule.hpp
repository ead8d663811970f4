#pragma once
// Any thread: plain values.

#include <array>
#include <optional>
#include <set>
#include <string_view>

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The twenty modules a log line can name, in their declaration order.
enum class OLogModule : int {
  videoStatus,
  analytics,
  proxy,
  candidate,
  webRTCClient,
  parallelRequestCounter,
  hlsManifestModifier,
  downloadController,
  signalClient,
  peerSelectionService,
  peerList,
  peerMessagesController,
  manifestParser,
  videoStorage,
  p2pUpload,
  loopDetection,
  peerScore,
  peerConnectionController,
  playlistFetcher,
  webserver,
};

constexpr size_t kOLogModuleCount = 20;

// The module's name as it appears in log lines ("VideoStatus", "Proxy", ...).
OMBRELIA_API std::string_view rawValue(OLogModule module);
// Exact, case-sensitive match of a raw value.
OMBRELIA_API std::optional<OLogModule> makeOLogModule(std::string_view rawValue);
OMBRELIA_API const std::array<OLogModule, kOLogModuleCount>& allOLogModules();
OMBRELIA_API std::set<OLogModule> allOLogModulesSet();

}  // namespace ombrelia
