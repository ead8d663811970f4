#pragma once
// Test thread builds and inspects; the connections' callbacks record into it from their queues.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCIceState.hpp"
#include "datachannel/DCPeerConnection.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// Two data-channel peer connections on 127.0.0.1 whose descriptions and candidates are relayed
// in process, with hooks to tamper with or hold back what is relayed.
class LoopbackPeers {
 public:
  struct Options {
    bool trickleCandidates = true;
    bool stripCandidatesFromDescriptions = false;
    // When false the test hands the offer to the answerer itself.
    bool relayOffer = true;
    std::function<std::string(std::string)> tamperOffer;
    std::function<std::string(std::string)> tamperAnswer;
    // Applied to each trickled candidate line on its way to the other side.
    std::function<std::string(std::string)> tamperOffererCandidate;
    std::function<std::string(std::string)> tamperAnswererCandidate;
  };

  static datachannel::DCConfiguration loopbackConfig();
  // Options for an answerer configured with maxMessageSize `limit` whose answer claims `claimed`
  // instead, so that the offerer sends messages the answerer drops.
  static Options answerClaimingMore(size_t limit, size_t claimed);

  LoopbackPeers();
  explicit LoopbackPeers(Options options);
  LoopbackPeers(Options options, datachannel::DCConfiguration config);
  LoopbackPeers(Options options, datachannel::DCConfiguration offererConfig,
                datachannel::DCConfiguration answererConfig);
  ~LoopbackPeers();

  std::shared_ptr<datachannel::DCPeerConnection> offerer;
  std::shared_ptr<datachannel::DCPeerConnection> answerer;

  // Candidates each side produced, in order (recorded whether or not they are relayed).
  std::vector<std::string> offererCandidates();
  std::vector<std::string> answererCandidates();
  std::vector<datachannel::DCIceState> offererStates();
  std::vector<datachannel::DCIceState> answererStates();

  bool waitForOffererState(datachannel::DCIceState state, std::chrono::milliseconds timeout);
  bool waitForAnswererState(datachannel::DCIceState state, std::chrono::milliseconds timeout);
  bool waitForBothConnected(std::chrono::milliseconds timeout);
  // True as soon as either side reports the connection lost (disconnected, failed or closed).
  bool waitForEitherLost(std::chrono::milliseconds timeout);
  bool waitForAnswererDescription(std::chrono::milliseconds timeout);
  bool waitForOffererCandidates(std::chrono::milliseconds timeout);

  Waiter& waiter() { return *waiter_; }

 private:
  struct Record;
  Options options_;
  std::shared_ptr<Waiter> waiter_;
  std::shared_ptr<Record> record_;
};

}  // namespace ombrelia::test
