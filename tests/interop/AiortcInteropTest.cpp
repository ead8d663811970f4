#include <gtest/gtest.h>

#include "InteropExchange.hpp"
#include "support/InteropSession.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/ScriptPeer.hpp"

namespace ombrelia::datachannel {
namespace {

// aiortc advertises this in its descriptions.
constexpr size_t kAiortcMaxMessageSize = 65536;
// aiortc echoes from Python: a quarter of a segment keeps the test short.
const InteropExchange kAiortcExchange{"hello from aiortc", 256 * 1024, kAiortcMaxMessageSize};

// The aiortc peer script and our connection, wired both ways. The script goes last, after the
// session has said goodbye through it.
struct AiortcPeer {
  explicit AiortcPeer(const std::string& role)
      : script({"/usr/bin/python3",
                std::string(OMBRELIA_SOURCE_DIR) + "/tests/interop/aiortc_peer.py", "--role", role},
               session.receiver()) {
    session.setSender([this](const std::string& line) { return script.writeLine(line); });
  }
  ~AiortcPeer() { session.send({{"type", "bye"}}); }

  test::InteropSession session{test::LoopbackPeers::loopbackConfig()};
  test::ScriptPeer script;
};

TEST(AiortcInteropTest, AiortcAnsweringOurOfferExchangesTextAndSegmentFrames) {
  AiortcPeer peer("answer");
  ASSERT_TRUE(peer.session.started() && peer.script.started());
  negotiateAsOfferer(peer.session, "aiortc");
  kAiortcExchange.run(peer.session);
}

TEST(AiortcInteropTest, AiortcOfferingToUsExchangesTextAndSegmentFrames) {
  AiortcPeer peer("offer");
  ASSERT_TRUE(peer.session.started() && peer.script.started());
  negotiateAsAnswerer(peer.session, "aiortc");
  kAiortcExchange.run(peer.session);
  expectChannelAnnouncedBeforeOpen(peer.session);
}

}  // namespace
}  // namespace ombrelia::datachannel
