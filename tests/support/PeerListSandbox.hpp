#pragma once
// Test thread: set up and torn down around one test.

#include <memory>

#include "support/FakePeerConnectionFactory.hpp"

namespace ombrelia::test {

// Gives a test the shared peer list empty, without a personal identifier, with peer exchange
// switched on and every new WebRTC client on a scripted connection; puts things back after.
class PeerListSandbox {
 public:
  PeerListSandbox();
  ~PeerListSandbox();
  PeerListSandbox(const PeerListSandbox&) = delete;
  PeerListSandbox& operator=(const PeerListSandbox&) = delete;

  FakePeerConnectionFactory& factory() { return *factory_; }

 private:
  void reset();
  std::shared_ptr<FakePeerConnectionFactory> factory_;
};

}  // namespace ombrelia::test
