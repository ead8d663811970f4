#include "peers/PeerConnectionFactory.hpp"

#include <mutex>

#include "peers/DataChannelFramework.hpp"

namespace ombrelia {

namespace {

std::mutex& overrideMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by overrideMutex(); never destroyed, so a client made during process exit still finds
// its factory.
std::shared_ptr<PeerConnectionFactory>& overridden() {
  static auto* factory = new std::shared_ptr<PeerConnectionFactory>();
  return *factory;
}

}  // namespace

std::shared_ptr<PeerConnectionFactory> PeerConnectionFactory::shared() {
  static const auto* standard =
      new std::shared_ptr<PeerConnectionFactory>(std::make_shared<DataChannelFramework>());
  std::lock_guard lock(overrideMutex());
  return overridden() ? overridden() : *standard;
}

void PeerConnectionFactory::overrideShared(std::shared_ptr<PeerConnectionFactory> factory) {
  std::lock_guard lock(overrideMutex());
  overridden() = std::move(factory);
}

}  // namespace ombrelia
