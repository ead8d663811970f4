#include "support/TransportRecorder.hpp"

namespace ombrelia::test {

void TransportRecorder::webSocketDidConnect(WebSocketProvider&) {
  {
    std::lock_guard lock(mutex_);
    ++connects_;
  }
  changed_.notify_all();
}

void TransportRecorder::webSocketDidDisconnect(WebSocketProvider& webSocket) {
  {
    std::lock_guard lock(mutex_);
    ++disconnects_;
  }
  changed_.notify_all();
  if (reconnect_) webSocket.connect();
}

void TransportRecorder::webSocket(WebSocketProvider&, const Data& didReceiveData) {
  {
    std::lock_guard lock(mutex_);
    data_.push_back(didReceiveData.toString());
  }
  changed_.notify_all();
}

void TransportRecorder::webSocket(WebSocketProvider&, const std::string& didReceiveString) {
  {
    std::lock_guard lock(mutex_);
    texts_.push_back(didReceiveString);
  }
  changed_.notify_all();
}

int TransportRecorder::connects() const {
  std::lock_guard lock(mutex_);
  return connects_;
}

int TransportRecorder::disconnects() const {
  std::lock_guard lock(mutex_);
  return disconnects_;
}

std::vector<std::string> TransportRecorder::texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

std::vector<std::string> TransportRecorder::data() const {
  std::lock_guard lock(mutex_);
  return data_;
}

bool TransportRecorder::waitUntil(const std::function<bool()>& predicate,
                                  std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  while (true) {
    lock.unlock();
    if (predicate()) return true;
    lock.lock();
    auto slice =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
    changed_.wait_until(lock, slice);
    if (std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return predicate();
    }
  }
}

}  // namespace ombrelia::test
