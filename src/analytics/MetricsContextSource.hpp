#pragma once
// Any thread: each call asks the classifiers and the peer list; the result is a plain value.

#include "protocol/MetricsContext.hpp"

namespace ombrelia {

// Takes the classification a counted segment or a mirrored figure is filed under, at the moment
// it is counted. It lives here, above the peer group, because it asks the peer list; the records
// that carry the result know only the value. The analytics service takes it before its own
// lock: the peer list and the WebRTC clients have locks of their own that must never be taken
// inside it.
class MetricsContextSource {
 public:
  static MetricsContext current();
  // At least one peer of the group has a client whose data channel is open.
  static bool anyPeerConnected();
};

}  // namespace ombrelia
