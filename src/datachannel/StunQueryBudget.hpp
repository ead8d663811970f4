#pragma once
// Loop thread: taken by connections as they start gathering, on the GlibLoop thread.

#include <chrono>
#include <cstddef>

#include "platform/MonotonicClock.hpp"

namespace ombrelia::datachannel {

// How many connections of the process may query the STUN server for their server-reflexive
// candidate. Every connection taken queries it once (libnice retransmits an unanswered query a
// bounded number of times), and offers come from strangers: without a bound, whoever reaches
// the viewer through the tracker could make it send a third party hundreds of queries a second.
// A connection past the budget gathers its host candidates only; a peer behind another NAT
// still learns its address from its checks, as a peer-reflexive candidate.
class StunQueryBudget {
 public:
  // A viewer joining a full group connects to all of its peers at once.
  static constexpr size_t kBurst = 32;
  // Afterwards, one more query every two seconds, thirty a minute: peers of a group come and go
  // a few a minute, each costing one query, and a STUN server expects no more of a client.
  static constexpr std::chrono::seconds kRefillInterval{2};

  static StunQueryBudget& shared();

  StunQueryBudget(const StunQueryBudget&) = delete;
  StunQueryBudget& operator=(const StunQueryBudget&) = delete;

  // True, and one query counted, when the budget has one left.
  bool take(platform::MonotonicClock::time_point now = platform::MonotonicClock::now());

 private:
  StunQueryBudget() = default;

  size_t left_ = kBurst;
  platform::MonotonicClock::time_point refilledAt_{};
  bool started_ = false;
};

}  // namespace ombrelia::datachannel
