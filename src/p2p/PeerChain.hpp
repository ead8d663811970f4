#pragma once
// Any thread: pure functions.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Uuid.hpp"

namespace ombrelia {

// The chain text of subscriptions a segment has passed: eight-digit peer names joined by "|",
// upstream first, the requester last.
class PeerChain {
 public:
  PeerChain() = delete;

  // The first eight hexadecimal digits of the identifier, in lower case.
  static std::string peerName(const Uuid& uuid);
  // prefix + "|" + me + "|" + requester (no prefix: me + "|" + requester). When that passes the
  // chain bound the oldest names are dropped: the names next to the requester are the ones that
  // can reveal a loop through it.
  static std::string build(const std::optional<std::string>& prefix, const std::string& me,
                           const std::string& requester);
  // True when `me` is one of the names before the last.
  static bool isInLoop(std::string_view chain, std::string_view me);
};

}  // namespace ombrelia
