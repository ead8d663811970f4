#include <gtest/gtest.h>

#include "InteropExchange.hpp"
#include "support/ChromiumPeer.hpp"
#include "support/InteropSession.hpp"
#include "support/LoopbackPeers.hpp"

namespace ombrelia::datachannel {
namespace {

// What Chromium advertises in its descriptions.
constexpr size_t kChromiumMaxMessageSize = 262144;
// A two-second segment at 4 Mbit/s.
constexpr size_t kChromiumSegmentBytes = 1024 * 1024;
const InteropExchange kChromiumExchange{"hello from chromium", kChromiumSegmentBytes,
                                        kChromiumMaxMessageSize};

// A headless Chromium page and our connection, wired both ways.
struct BrowserPeer {
  explicit BrowserPeer(const std::string& role) : browser(role, session.receiver()) {
    session.setSender([this](const std::string& line) { return browser.send(line); });
  }
  ~BrowserPeer() { session.send({{"type", "bye"}}); }

  test::InteropSession session{test::LoopbackPeers::loopbackConfig()};
  test::ChromiumPeer browser;
};

class ChromiumInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::ChromiumPeer::available())
        << "chromium or setpriv is missing: run scripts/install-deps";
  }
};

TEST_F(ChromiumInteropTest, ChromiumAnsweringOurOfferExchangesTextAndSegmentFrames) {
  BrowserPeer peer("answer");
  ASSERT_TRUE(peer.session.started() && peer.browser.started());
  ASSERT_TRUE(peer.session.expect("ready", test::InteropSession::kStartBound))
      << "the page never loaded; it said: " << peer.session.errors();
  negotiateAsOfferer(peer.session, "chromium");
  kChromiumExchange.run(peer.session, /*greetingFollowsFirstMessage=*/true);
}

TEST_F(ChromiumInteropTest, ChromiumOfferingToUsExchangesTextAndSegmentFrames) {
  BrowserPeer peer("offer");
  ASSERT_TRUE(peer.session.started() && peer.browser.started());
  negotiateAsAnswerer(peer.session, "chromium");
  kChromiumExchange.run(peer.session);
  expectChannelAnnouncedBeforeOpen(peer.session);
}

}  // namespace
}  // namespace ombrelia::datachannel
