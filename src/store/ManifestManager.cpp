#include <ombrelia/ManifestManager.hpp>

#include "store/ManifestController.hpp"

namespace ombrelia {

ManifestManager& ManifestManager::shared() {
  static ManifestManager instance;
  return instance;
}

void ManifestManager::cleanup() { ManifestController::shared().cleanup(); }

std::vector<std::string> ManifestManager::getResolutions() {
  return ManifestController::shared().resolutions();
}

}  // namespace ombrelia
