#include "support/InteropSession.hpp"

namespace ombrelia::test {

using nlohmann::json;
using namespace std::chrono_literals;

struct InteropSession::State {
  Waiter waiter;
  // Guarded by waiter.mutex().
  Sender sender;
  std::optional<std::string> localSdp;
  std::vector<std::pair<std::string, std::string>> candidates;
  std::shared_ptr<datachannel::DCDataChannel> channel;
  std::deque<json> lines;
  std::string errors;
  std::string transcript;
  std::string states;
  std::weak_ptr<datachannel::DCPeerConnection> pc;

  void receive(const std::string& line);
};

InteropSession::InteropSession(datachannel::DCConfiguration config)
    : state_(std::make_shared<State>()), pc_(datachannel::DCPeerConnection::create(config)) {
  if (!pc_) return;
  state_->pc = pc_;
  std::weak_ptr<State> weak = state_;
  pc_->onLocalDescription([weak](std::string sdp) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->waiter.mutex());
      state->localSdp = std::move(sdp);
      state->waiter.notify();
    }
  });
  pc_->onLocalCandidate([weak](std::string candidate, std::string mid) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->waiter.mutex());
      state->candidates.emplace_back(std::move(candidate), std::move(mid));
      state->waiter.notify();
    }
  });
  pc_->onStateChange([weak](datachannel::DCIceState connectionState) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->waiter.mutex());
      state->states +=
          (state->states.empty() ? "" : " ") + datachannel::description(connectionState);
    }
  });
  pc_->onDataChannel([this, weak](std::shared_ptr<datachannel::DCDataChannel> channel) {
    auto state = weak.lock();
    if (!state) return;
    events.note("announced");
    events.attach(channel);
    std::lock_guard lock(state->waiter.mutex());
    state->channel = std::move(channel);
    state->waiter.notify();
  });
}

InteropSession::~InteropSession() {
  // The connection goes first: its callbacks must not outlive the recorder they write to.
  pc_.reset();
  std::lock_guard lock(state_->waiter.mutex());
  state_->sender = nullptr;
}

void InteropSession::setSender(Sender sender) {
  std::lock_guard lock(state_->waiter.mutex());
  state_->sender = std::move(sender);
}

std::function<void(const std::string&)> InteropSession::receiver() {
  return [weak = std::weak_ptr<State>(state_)](const std::string& line) {
    if (auto state = weak.lock()) state->receive(line);
  };
}

void InteropSession::State::receive(const std::string& line) {
  json message = json::parse(line, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return;
  const std::string type = message.value("type", "");
  if (type == "candidate") {
    std::shared_ptr<datachannel::DCPeerConnection> connection;
    {
      std::lock_guard lock(waiter.mutex());
      connection = pc.lock();
    }
    const auto& candidate = message["candidate"];
    const auto& mid = message["mid"];
    if (connection && candidate.is_string()) {
      connection->addRemoteCandidate(candidate.get<std::string>(),
                                     mid.is_string() ? mid.get<std::string>() : std::string("0"));
    }
    return;
  }
  std::lock_guard lock(waiter.mutex());
  if (type != "offer" && type != "answer" && type != "stats") transcript += message.dump() + "\n";
  if (type == "error") errors += message.dump() + "\n";
  lines.push_back(std::move(message));
  waiter.notify();
}

void InteropSession::useLocalChannel(std::shared_ptr<datachannel::DCDataChannel> channel) {
  events.attach(channel);
  std::lock_guard lock(state_->waiter.mutex());
  state_->channel = std::move(channel);
}

std::shared_ptr<datachannel::DCDataChannel> InteropSession::channel() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->channel;
}

std::optional<std::string> InteropSession::localSdp(std::chrono::milliseconds timeout) {
  if (!state_->waiter.waitFor(timeout, [&] { return state_->localSdp.has_value(); })) {
    return std::nullopt;
  }
  std::lock_guard lock(state_->waiter.mutex());
  return state_->localSdp;
}

std::optional<json> InteropSession::expect(const std::string& type,
                                           std::chrono::milliseconds timeout) {
  std::optional<json> found;
  state_->waiter.waitFor(timeout, [&] {
    while (!state_->lines.empty()) {
      json front = std::move(state_->lines.front());
      state_->lines.pop_front();
      if (front.value("type", "") == type) {
        found = std::move(front);
        return true;
      }
    }
    return false;
  });
  return found;
}

bool InteropSession::send(const json& message) {
  Sender sender;
  {
    std::lock_guard lock(state_->waiter.mutex());
    sender = state_->sender;
  }
  return sender && sender(message.dump());
}

void InteropSession::sendCandidates() {
  state_->waiter.waitFor(2s, [&] { return !state_->candidates.empty(); });
  std::vector<std::pair<std::string, std::string>> candidates;
  {
    std::lock_guard lock(state_->waiter.mutex());
    candidates = state_->candidates;
  }
  for (const auto& [candidate, mid] : candidates) {
    send({{"type", "candidate"}, {"candidate", candidate}, {"mid", mid}});
  }
}

std::string InteropSession::errors() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->errors;
}

std::string InteropSession::connectionStates() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->states;
}

std::string InteropSession::transcript() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->transcript;
}

}  // namespace ombrelia::test
