#pragma once
// Any thread: sends are recorded under a lock; the test delivers transport events on its own
// thread, as the transport's delivery queue would, one at a time.

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "signalling/WebSocketProvider.hpp"
#include "signalling/WebSocketProviderDelegate.hpp"

namespace ombrelia::test {

// A signalling transport that records what the client hands it and lets the test play the
// tracker: open, close, and deliver text.
class RecordingWebSocket final : public WebSocketProvider {
 public:
  using WebSocketProvider::sendAnalytics;
  std::shared_ptr<WebSocketProviderDelegate> delegate() const override {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }
  void setDelegate(std::weak_ptr<WebSocketProviderDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  std::vector<Url> trackerList() const override {
    std::lock_guard lock(mutex_);
    return trackerList_;
  }
  void setTrackerList(std::vector<Url> trackerList) override {
    std::lock_guard lock(mutex_);
    trackerList_ = std::move(trackerList);
  }
  void connect() override {
    std::function<void(RecordingWebSocket&)> answer;
    {
      std::lock_guard lock(mutex_);
      ++connects_;
      answer = onConnect_;
    }
    if (answer) answer(*this);
  }
  // Plays the tracker from within connect() itself, on the connecting thread: a tracker that
  // answers before the client's caller has taken another step.
  void onConnect(std::function<void(RecordingWebSocket&)> answer) {
    std::lock_guard lock(mutex_);
    onConnect_ = std::move(answer);
  }
  void send(const Data& data) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(data.toString());
  }
  void sendAnalytics(const Data& data) override {
    std::lock_guard lock(mutex_);
    analytics_.push_back(data.toString());
  }

  void open() {
    if (auto d = delegate()) d->webSocketDidConnect(*this);
  }
  void close() {
    if (auto d = delegate()) d->webSocketDidDisconnect(*this);
  }
  void receive(const std::string& text) {
    if (auto d = delegate()) d->webSocket(*this, text);
  }

  std::vector<std::string> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  // The sent texts that contain `fragment` (a type, such as "\"groupRequest\"").
  std::vector<std::string> sentContaining(const std::string& fragment) const {
    std::vector<std::string> out;
    for (const auto& text : sent()) {
      if (text.find(fragment) != std::string::npos) out.push_back(text);
    }
    return out;
  }
  std::vector<std::string> analytics() const {
    std::lock_guard lock(mutex_);
    return analytics_;
  }
  int connects() const {
    std::lock_guard lock(mutex_);
    return connects_;
  }

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::weak_ptr<WebSocketProviderDelegate> delegate_;
  std::vector<Url> trackerList_;
  std::vector<std::string> sent_;
  std::vector<std::string> analytics_;
  int connects_ = 0;
  std::function<void(RecordingWebSocket&)> onConnect_;
};

}  // namespace ombrelia::test
