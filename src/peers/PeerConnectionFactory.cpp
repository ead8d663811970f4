#include "peers/PeerConnectionFactory.hpp"

#include <mutex>

#include "peers/DataChannelFramework.hpp"

namespace ombrelia {

namespace {

std::mutex& factoryOverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by factoryOverrideMutex(); never destroyed, so a client made during process exit still
// finds its factory.
std::shared_ptr<PeerConnectionFactory>& overriddenFactory() {
  static auto* factory = new std::shared_ptr<PeerConnectionFactory>();
  return *factory;
}

}  // namespace

std::shared_ptr<PeerConnectionFactory> PeerConnectionFactory::shared() {
  static const auto* standard =
      new std::shared_ptr<PeerConnectionFactory>(std::make_shared<DataChannelFramework>());
  std::lock_guard lock(factoryOverrideMutex());
  return overriddenFactory() ? overriddenFactory() : *standard;
}

void PeerConnectionFactory::overrideShared(std::shared_ptr<PeerConnectionFactory> factory) {
  std::lock_guard lock(factoryOverrideMutex());
  overriddenFactory() = std::move(factory);
}

}  // namespace ombrelia
