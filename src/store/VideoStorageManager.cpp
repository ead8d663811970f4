#include <ombrelia/VideoStorageManager.hpp>

#include "store/VideoStorage.hpp"

namespace ombrelia {

VideoStorageManager& VideoStorageManager::shared() {
  static VideoStorageManager instance;
  return instance;
}

void VideoStorageManager::removeAll() { VideoStorage::shared()->removeAll(); }

}  // namespace ombrelia
