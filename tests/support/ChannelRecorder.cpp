#include "support/ChannelRecorder.hpp"

#include <algorithm>

namespace ombrelia::test {

struct ChannelRecorder::State {
  Waiter waiter;
  std::vector<std::string> events;
  std::vector<Frame> frames;
};

ChannelRecorder::ChannelRecorder() : state_(std::make_shared<State>()) {}

void ChannelRecorder::attach(const std::shared_ptr<datachannel::DCDataChannel>& channel) {
  std::weak_ptr<State> weak = state_;
  channel->onOpen([weak](datachannel::DCDcEvent) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->waiter.mutex());
      state->events.push_back("open");
      state->waiter.notify();
    }
  });
  channel->onClosed([weak](datachannel::DCDcEvent) {
    if (auto state = weak.lock()) {
      std::lock_guard lock(state->waiter.mutex());
      state->events.push_back("closed");
      state->waiter.notify();
    }
  });
  channel->onMessage(
      [weak](std::string text) {
        if (auto state = weak.lock()) {
          std::lock_guard lock(state->waiter.mutex());
          state->frames.emplace_back(std::move(text));
          state->waiter.notify();
        }
      },
      [weak](Data bytes) {
        if (auto state = weak.lock()) {
          std::lock_guard lock(state->waiter.mutex());
          state->frames.emplace_back(std::move(bytes));
          state->waiter.notify();
        }
      });
}

void ChannelRecorder::note(const std::string& event) {
  std::lock_guard lock(state_->waiter.mutex());
  state_->events.push_back(event);
  state_->waiter.notify();
}

std::vector<std::string> ChannelRecorder::events() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->events;
}

std::vector<ChannelRecorder::Frame> ChannelRecorder::frames() {
  std::lock_guard lock(state_->waiter.mutex());
  return state_->frames;
}

bool ChannelRecorder::waitForEvent(const std::string& event, std::chrono::milliseconds timeout) {
  return state_->waiter.waitFor(timeout, [&] {
    return std::find(state_->events.begin(), state_->events.end(), event) != state_->events.end();
  });
}

bool ChannelRecorder::waitForFrames(size_t count, std::chrono::milliseconds timeout) {
  return state_->waiter.waitFor(timeout, [&] { return state_->frames.size() >= count; });
}

}  // namespace ombrelia::test
