#include <gtest/gtest.h>

#include <filesystem>

#include "InteropExchange.hpp"
#include "support/InteropSession.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/ScriptPeer.hpp"

namespace ombrelia::datachannel {
namespace {

// node-datachannel's default, which it advertises in its descriptions.
constexpr size_t kNodeDataChannelMaxMessageSize = 262144;
// A two-second segment at 4 Mbit/s.
constexpr size_t kNodeSegmentBytes = 1024 * 1024;
const InteropExchange kNodeExchange{"hello from node-datachannel", kNodeSegmentBytes,
                                    kNodeDataChannelMaxMessageSize};

std::string peerFolder() { return std::string(OMBRELIA_SOURCE_DIR) + "/tests/interop/node"; }

// The node-datachannel peer script and our connection, wired both ways.
struct NodeDataChannelPeer {
  explicit NodeDataChannelPeer(const std::string& role)
      : script({"/usr/bin/node", peerFolder() + "/peer.js", "--role", role}, session.receiver()) {
    session.setSender([this](const std::string& line) { return script.writeLine(line); });
  }
  ~NodeDataChannelPeer() { session.send({{"type", "bye"}}); }

  test::InteropSession session{test::LoopbackPeers::loopbackConfig()};
  test::ScriptPeer script;
};

class NodeDataChannelInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    // scripts/install-deps installs the package from the npm registry, which the tests'
    // network namespace cannot reach.
    if (!std::filesystem::exists(peerFolder() + "/node_modules/node-datachannel/package.json")) {
      FAIL() << "node-datachannel is not installed: run scripts/install-deps";
    }
  }
};

TEST_F(NodeDataChannelInteropTest, NodeDataChannelAnsweringOurOfferExchangesTextAndSegmentFrames) {
  NodeDataChannelPeer peer("answer");
  ASSERT_TRUE(peer.session.started() && peer.script.started());
  negotiateAsOfferer(peer.session, "node-datachannel");
  kNodeExchange.run(peer.session);
}

TEST_F(NodeDataChannelInteropTest, NodeDataChannelOfferingToUsExchangesTextAndSegmentFrames) {
  NodeDataChannelPeer peer("offer");
  ASSERT_TRUE(peer.session.started() && peer.script.started());
  negotiateAsAnswerer(peer.session, "node-datachannel");
  kNodeExchange.run(peer.session);
  expectChannelAnnouncedBeforeOpen(peer.session);
}

}  // namespace
}  // namespace ombrelia::datachannel
