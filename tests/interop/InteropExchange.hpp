#pragma once
// Test thread only.

#include <cstddef>
#include <string>

#include "support/InteropSession.hpp"

namespace ombrelia::datachannel {

// What every session with another stack must give once negotiated: the channel opens, the
// other side's greeting arrives, a text comes back as sent, `echoedBytes` in 15,924-byte binary
// frames come back intact and in order, and a message one byte above what the other side
// advertises is refused while one of exactly that size goes through (when `peerMaxMessageSize`
// is not 0).
struct InteropExchange {
  std::string greeting;
  size_t echoedBytes = 0;
  size_t peerMaxMessageSize = 0;

  // With `greetingFollowsFirstMessage` the other side greets only once our first text arrived.
  void run(test::InteropSession& session, bool greetingFollowsFirstMessage = false) const;
};

// Both roles, driven the same way whatever the other stack is.
void negotiateAsOfferer(test::InteropSession& session, const std::string& stack);
void negotiateAsAnswerer(test::InteropSession& session, const std::string& stack);
// On the answering side: the other stack's channel was announced before its open event.
void expectChannelAnnouncedBeforeOpen(test::InteropSession& session);

}  // namespace ombrelia::datachannel
