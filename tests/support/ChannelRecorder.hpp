#pragma once
// Callbacks record from the connection's callback queue; the test thread waits and reads.

#include <chrono>
#include <memory>
#include <ombrelia/Data.hpp>
#include <string>
#include <variant>
#include <vector>

#include "datachannel/DCDataChannel.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

// Records what happens on one data channel, in order: "open", "closed", and each frame.
class ChannelRecorder {
 public:
  using Frame = std::variant<std::string, Data>;

  ChannelRecorder();
  // Sets the channel's open, close and message callbacks.
  void attach(const std::shared_ptr<datachannel::DCDataChannel>& channel);
  // Records an event of the test's own, such as the moment a channel was announced.
  void note(const std::string& event);

  std::vector<std::string> events();
  std::vector<Frame> frames();
  bool waitForEvent(const std::string& event, std::chrono::milliseconds timeout);
  bool waitForFrames(size_t count, std::chrono::milliseconds timeout);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace ombrelia::test
