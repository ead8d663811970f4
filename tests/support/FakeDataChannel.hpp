#pragma once
// Any thread: the test fires events on its own thread; sends are recorded under a lock.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "peers/RTCDataChannel.hpp"

namespace ombrelia::test {

// A scripted data channel: records what is sent and lets the test deliver events, which run
// synchronously on the calling thread.
class FakeDataChannel : public RTCDataChannel {
 public:
  struct Frame {
    bool binary;
    std::string bytes;
    friend bool operator==(const Frame&, const Frame&) = default;
  };

  explicit FakeDataChannel(std::string label = "P2P") : label_(std::move(label)) {}

  std::string label() const override { return label_; }
  // Recorded; the test delivers the close event itself.
  void close() override;
  bool closeRequested() const;
  std::vector<Frame> sent() const;

  void deliverOpen();
  void deliverClosed();
  void deliverText(const std::string& text);
  void deliverBinary(const Data& bytes);

  void onMessage(std::function<void(std::string)> text, std::function<void(Data)> binary) override;
  void onOpen(std::function<void()> callback) override;
  void onClosed(std::function<void()> callback) override;
  bool sendText(const std::string& text) override;
  bool sendBinary(const Data& bytes) override;

 private:
  const std::string label_;
  mutable std::mutex mutex_;  // guards everything below
  bool closeRequested_ = false;
  std::function<void(std::string)> text_;
  std::function<void(Data)> binary_;
  std::function<void()> open_;
  std::function<void()> closed_;
  std::vector<Frame> sent_;
};

}  // namespace ombrelia::test
