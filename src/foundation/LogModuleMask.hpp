#pragma once
// Any thread: pure functions.

#include <cstdint>

#include <ombrelia/OLogLevel.hpp>

namespace ombrelia {

// The module sets per active level as bit masks, so the log gate is two loads and an AND.
constexpr uint32_t moduleBit(OLogModule module) {
  return 1u << static_cast<int>(module);
}

constexpr uint32_t kAllModulesMask = (1u << kOLogModuleCount) - 1;

constexpr uint32_t enabledModuleMask(OLogLevel level) {
  switch (level) {
  case OLogLevel::none:
    return 0;
  case OLogLevel::error:
    return kAllModulesMask &
           ~(moduleBit(OLogModule::videoStatus) | moduleBit(OLogModule::parallelRequestCounter) |
             moduleBit(OLogModule::hlsManifestModifier) | moduleBit(OLogModule::webserver));
  case OLogLevel::info:
    // Not a superset of the error set: info shows only the playback-facing modules.
    return moduleBit(OLogModule::videoStatus) | moduleBit(OLogModule::downloadController) |
           moduleBit(OLogModule::p2pUpload);
  case OLogLevel::debug:
    return kAllModulesMask &
           ~(moduleBit(OLogModule::playlistFetcher) | moduleBit(OLogModule::webserver));
  case OLogLevel::trace:
    return kAllModulesMask;
  }
  return 0;
}

}  // namespace ombrelia
