#include "support/LoopbackPeers.hpp"

#include <algorithm>
#include <regex>
#include <sstream>

namespace ombrelia::test {

using datachannel::DCConfiguration;
using datachannel::DCIceState;
using datachannel::DCPeerConnection;

struct LoopbackPeers::Record {
  std::vector<std::string> offererCandidates;
  std::vector<std::string> answererCandidates;
  std::vector<DCIceState> offererStates;
  std::vector<DCIceState> answererStates;
  bool answererDescribed = false;
};

namespace {

std::string withoutCandidates(const std::string& sdp) {
  std::istringstream in(sdp);
  std::string line;
  std::string out;
  while (std::getline(in, line)) {
    if (line.rfind("a=candidate:", 0) == 0 || line.rfind("a=end-of-candidates", 0) == 0) continue;
    out += line + "\n";
  }
  return out;
}

}  // namespace

DCConfiguration LoopbackPeers::loopbackConfig() {
  DCConfiguration config;
  config.bindAddress = "127.0.0.1";
  return config;
}

LoopbackPeers::Options LoopbackPeers::answerClaimingMore(size_t limit, size_t claimed) {
  Options options;
  options.tamperAnswer = [limit, claimed](std::string sdp) {
    return std::regex_replace(sdp, std::regex("a=max-message-size:" + std::to_string(limit)),
                              "a=max-message-size:" + std::to_string(claimed));
  };
  return options;
}

LoopbackPeers::LoopbackPeers() : LoopbackPeers(Options{}, loopbackConfig()) {}

LoopbackPeers::LoopbackPeers(Options options)
    : LoopbackPeers(std::move(options), loopbackConfig()) {}

LoopbackPeers::LoopbackPeers(Options options, DCConfiguration config)
    : LoopbackPeers(std::move(options), config, config) {}

LoopbackPeers::LoopbackPeers(Options options, DCConfiguration offererConfig,
                             DCConfiguration answererConfig)
    : options_(std::move(options)),
      waiter_(std::make_shared<Waiter>()),
      record_(std::make_shared<Record>()) {
  offerer = DCPeerConnection::create(offererConfig);
  answerer = DCPeerConnection::create(answererConfig);
  std::weak_ptr<DCPeerConnection> weakOfferer = offerer;
  std::weak_ptr<DCPeerConnection> weakAnswerer = answerer;
  auto waiter = waiter_;
  auto record = record_;
  const Options opts = options_;

  offerer->onLocalDescription([weakAnswerer, opts](std::string sdp) {
    if (opts.stripCandidatesFromDescriptions) sdp = withoutCandidates(sdp);
    if (opts.tamperOffer) sdp = opts.tamperOffer(sdp);
    if (!opts.relayOffer) return;
    if (auto peer = weakAnswerer.lock()) peer->setRemoteDescription(sdp);
  });
  answerer->onLocalDescription([weakOfferer, opts, waiter, record](std::string sdp) {
    if (opts.stripCandidatesFromDescriptions) sdp = withoutCandidates(sdp);
    if (opts.tamperAnswer) sdp = opts.tamperAnswer(sdp);
    {
      std::lock_guard lock(waiter->mutex());
      record->answererDescribed = true;
    }
    waiter->notify();
    if (auto peer = weakOfferer.lock()) peer->setRemoteDescription(sdp);
  });
  offerer->onLocalCandidate(
      [weakAnswerer, opts, waiter, record](std::string candidate, std::string mid) {
        {
          std::lock_guard lock(waiter->mutex());
          record->offererCandidates.push_back(candidate);
        }
        waiter->notify();
        if (!opts.trickleCandidates) return;
        if (opts.tamperOffererCandidate) candidate = opts.tamperOffererCandidate(candidate);
        if (auto peer = weakAnswerer.lock()) peer->addRemoteCandidate(candidate, mid);
      });
  answerer->onLocalCandidate(
      [weakOfferer, opts, waiter, record](std::string candidate, std::string mid) {
        {
          std::lock_guard lock(waiter->mutex());
          record->answererCandidates.push_back(candidate);
        }
        waiter->notify();
        if (!opts.trickleCandidates) return;
        if (opts.tamperAnswererCandidate) candidate = opts.tamperAnswererCandidate(candidate);
        if (auto peer = weakOfferer.lock()) peer->addRemoteCandidate(candidate, mid);
      });
  offerer->onStateChange([waiter, record](DCIceState state) {
    {
      std::lock_guard lock(waiter->mutex());
      record->offererStates.push_back(state);
    }
    waiter->notify();
  });
  answerer->onStateChange([waiter, record](DCIceState state) {
    {
      std::lock_guard lock(waiter->mutex());
      record->answererStates.push_back(state);
    }
    waiter->notify();
  });
}

LoopbackPeers::~LoopbackPeers() = default;

std::vector<std::string> LoopbackPeers::offererCandidates() {
  std::lock_guard lock(waiter_->mutex());
  return record_->offererCandidates;
}

std::vector<std::string> LoopbackPeers::answererCandidates() {
  std::lock_guard lock(waiter_->mutex());
  return record_->answererCandidates;
}

std::vector<DCIceState> LoopbackPeers::offererStates() {
  std::lock_guard lock(waiter_->mutex());
  return record_->offererStates;
}

std::vector<DCIceState> LoopbackPeers::answererStates() {
  std::lock_guard lock(waiter_->mutex());
  return record_->answererStates;
}

bool LoopbackPeers::waitForOffererState(DCIceState state, std::chrono::milliseconds timeout) {
  return waiter_->waitFor(timeout, [&] {
    const auto& s = record_->offererStates;
    return std::find(s.begin(), s.end(), state) != s.end();
  });
}

bool LoopbackPeers::waitForAnswererState(DCIceState state, std::chrono::milliseconds timeout) {
  return waiter_->waitFor(timeout, [&] {
    const auto& s = record_->answererStates;
    return std::find(s.begin(), s.end(), state) != s.end();
  });
}

bool LoopbackPeers::waitForBothConnected(std::chrono::milliseconds timeout) {
  return waitForOffererState(DCIceState::connected, timeout) &&
         waitForAnswererState(DCIceState::connected, timeout);
}

bool LoopbackPeers::waitForEitherLost(std::chrono::milliseconds timeout) {
  const auto lost = [](const std::vector<DCIceState>& states) {
    return std::any_of(states.begin(), states.end(), [](DCIceState state) {
      return state == DCIceState::disconnected || state == DCIceState::failed ||
             state == DCIceState::closed;
    });
  };
  return waiter_->waitFor(
      timeout, [&] { return lost(record_->offererStates) || lost(record_->answererStates); });
}

bool LoopbackPeers::waitForAnswererDescription(std::chrono::milliseconds timeout) {
  return waiter_->waitFor(timeout, [&] { return record_->answererDescribed; });
}

}  // namespace ombrelia::test

namespace ombrelia::test {
bool LoopbackPeers::waitForOffererCandidates(std::chrono::milliseconds timeout) {
  return waiter_->waitFor(timeout, [&] { return !record_->offererCandidates.empty(); });
}
}  // namespace ombrelia::test
