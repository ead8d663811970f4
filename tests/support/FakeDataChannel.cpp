#include "support/FakeDataChannel.hpp"

namespace ombrelia::test {

std::vector<FakeDataChannel::Frame> FakeDataChannel::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void FakeDataChannel::close() {
  std::lock_guard lock(mutex_);
  closeRequested_ = true;
}

bool FakeDataChannel::closeRequested() const {
  std::lock_guard lock(mutex_);
  return closeRequested_;
}

void FakeDataChannel::deliverOpen() {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex_);
    callback = open_;
  }
  if (callback) callback();
}

void FakeDataChannel::deliverClosed() {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex_);
    callback = closed_;
  }
  if (callback) callback();
}

void FakeDataChannel::deliverText(const std::string& text) {
  std::function<void(std::string)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = text_;
  }
  if (callback) callback(text);
}

void FakeDataChannel::deliverBinary(const Data& bytes) {
  std::function<void(Data)> callback;
  {
    std::lock_guard lock(mutex_);
    callback = binary_;
  }
  if (callback) callback(bytes);
}

void FakeDataChannel::onMessage(std::function<void(std::string)> text,
                                std::function<void(Data)> binary) {
  std::lock_guard lock(mutex_);
  text_ = std::move(text);
  binary_ = std::move(binary);
}

void FakeDataChannel::onOpen(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  open_ = std::move(callback);
}

void FakeDataChannel::onClosed(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  closed_ = std::move(callback);
}

bool FakeDataChannel::sendText(const std::string& text) {
  std::lock_guard lock(mutex_);
  sent_.push_back({false, text});
  return true;
}

bool FakeDataChannel::sendBinary(const Data& bytes) {
  std::lock_guard lock(mutex_);
  sent_.push_back({true, bytes.toString()});
  return true;
}

}  // namespace ombrelia::test
