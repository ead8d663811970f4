#pragma once
// Test thread drives; receive() runs on whichever thread carries the other stack's lines (a
// pipe reader or the page server); the connection's callbacks record from its queue.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCDataChannel.hpp"
#include "datachannel/DCPeerConnection.hpp"
#include "support/ChannelRecorder.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// Our side of a session with another WebRTC stack that speaks JSON lines: {"type": "offer" or
// "answer", "sdp"}, {"type": "candidate", "candidate", "mid"}, {"type": "open"}, {"type": "bye"}.
// Candidate lines from the other stack are applied as they arrive; every other line waits for
// expect().
class InteropSession {
 public:
  using Sender = std::function<bool(const std::string& line)>;

  // How long the other stack may take to start and say its first line. A headless browser's
  // cold start on a loaded two-core machine has taken over 15 s; nothing waits this long when
  // all is well.
  static constexpr std::chrono::seconds kStartBound{60};

  explicit InteropSession(datachannel::DCConfiguration config);
  ~InteropSession();
  InteropSession(const InteropSession&) = delete;
  InteropSession& operator=(const InteropSession&) = delete;

  // How lines reach the other stack; set once, before the first send().
  void setSender(Sender sender);
  // Where lines from the other stack go; safe to call after the session is gone (it does
  // nothing then), so a transport may outlive the session.
  std::function<void(const std::string& line)> receiver();

  bool started() const { return pc_ != nullptr; }
  datachannel::DCPeerConnection& pc() { return *pc_; }
  void useLocalChannel(std::shared_ptr<datachannel::DCDataChannel> channel);
  std::shared_ptr<datachannel::DCDataChannel> channel();
  std::optional<std::string> localSdp(std::chrono::milliseconds timeout);
  // The next line of the given type; lines of other types before it are dropped.
  std::optional<nlohmann::json> expect(const std::string& type, std::chrono::milliseconds timeout);
  bool send(const nlohmann::json& message);
  // Sends the local candidates gathered so far (waiting a little for the first).
  void sendCandidates();
  // Every line received so far that said {"type": "error"}, for failure messages.
  std::string errors();
  // Every line received so far but descriptions, candidates and statistics, for failure
  // messages.
  std::string transcript();
  // The states our connection has reported so far, in order, for failure messages.
  std::string connectionStates();

  ChannelRecorder events;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::shared_ptr<datachannel::DCPeerConnection> pc_;
};

}  // namespace ombrelia::test
