#include "support/PeerListSandbox.hpp"

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>

#include "peers/PeerList.hpp"

namespace ombrelia::test {

PeerListSandbox::PeerListSandbox() : factory_(std::make_shared<FakePeerConnectionFactory>()) {
  if (!OmbreliaConfig::isConfigured()) OmbreliaConfig::configure("peer-list-test");
  reset();
  PeerConnectionFactory::overrideShared(factory_);
}

PeerListSandbox::~PeerListSandbox() {
  reset();
  PeerConnectionFactory::overrideShared(nullptr);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
}

void PeerListSandbox::reset() {
  OmbreliaConfig::shared().setActivated(true);
  OmbreliaConfig::shared().setP2pActivated(true);
  PeerList::shared().removeAll();
  PeerList::shared().setPersonalUUID(std::nullopt);
}

}  // namespace ombrelia::test
