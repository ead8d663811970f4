#include <ombrelia/OLogModule.hpp>

namespace ombrelia {
namespace {

constexpr std::array<std::string_view, kOLogModuleCount> kRawValues = {
    "VideoStatus",
    "Analytics",
    "Proxy",
    "Candidate",
    "WebRTCClient",
    "ParallelRequestCounter",
    "HLSManifestModifier",
    "DownloadController",
    "SignalClient",
    "PeerSelectionService",
    "PeerList",
    "PeerMessagesController",
    "ManifestParser",
    "VideoStorage",
    "P2PUpload",
    "LoopDetection",
    "PeerScore",
    "PeerConnectionController",
    "PlaylistFetcher",
    "WebServer",
};

}  // namespace

std::string_view rawValue(OLogModule module) {
  auto index = static_cast<size_t>(module);
  return index < kRawValues.size() ? kRawValues[index] : std::string_view();
}

std::optional<OLogModule> makeOLogModule(std::string_view raw) {
  for (size_t i = 0; i < kRawValues.size(); ++i) {
    if (kRawValues[i] == raw)
      return static_cast<OLogModule>(i);
  }
  return std::nullopt;
}

const std::array<OLogModule, kOLogModuleCount>& allOLogModules() {
  static const auto modules = [] {
    std::array<OLogModule, kOLogModuleCount> all{};
    for (size_t i = 0; i < kOLogModuleCount; ++i)
      all[i] = static_cast<OLogModule>(i);
    return all;
  }();
  return modules;
}

std::set<OLogModule> allOLogModulesSet() {
  const auto& all = allOLogModules();
  return {all.begin(), all.end()};
}

}  // namespace ombrelia
