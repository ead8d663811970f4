#pragma once
// Any thread: the test fires events on its own thread; calls are recorded under a lock.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "peers/RTCPeerConnection.hpp"
#include "support/FakeDataChannel.hpp"

namespace ombrelia::test {

// A scripted peer connection: records what the client asks of it and lets the test deliver the
// framework's events, which run synchronously on the calling thread.
class FakePeerConnection : public RTCPeerConnection {
 public:
  std::vector<std::shared_ptr<FakeDataChannel>> createdChannels() const;
  std::vector<std::string> remoteDescriptions() const;
  std::vector<std::pair<std::string, std::string>> remoteCandidates() const;

  void deliverLocalDescription(const std::string& sdp);
  void deliverLocalCandidate(const std::string& candidate, const std::string& mid);
  void deliverDataChannel(std::shared_ptr<FakeDataChannel> channel);
  void deliverState(datachannel::DCIceState state);

  void onLocalDescription(std::function<void(std::string)> callback) override;
  void onLocalCandidate(std::function<void(std::string, std::string)> callback) override;
  void onDataChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) override;
  void onStateChange(std::function<void(datachannel::DCIceState)> callback) override;
  std::shared_ptr<RTCDataChannel> createDataChannel(const std::string& label) override;
  bool setRemoteDescription(const std::string& sdp) override;
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override;

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::function<void(std::string)> description_;
  std::function<void(std::string, std::string)> candidate_;
  std::function<void(std::shared_ptr<RTCDataChannel>)> channel_;
  std::function<void(datachannel::DCIceState)> state_;
  std::vector<std::shared_ptr<FakeDataChannel>> created_;
  std::vector<std::string> remoteDescriptions_;
  std::vector<std::pair<std::string, std::string>> remoteCandidates_;
};

}  // namespace ombrelia::test
