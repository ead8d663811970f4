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
// framework's events, which run synchronously on the calling thread. Its transports are gone as
// it is dropped, unless it was made to hold them (FakePeerConnectionFactory::holdTransports).
class FakePeerConnection : public RTCPeerConnection {
 public:
  // Where the transports-gone reports of dropped connections wait while a test holds them.
  class HeldTransports {
   public:
    void hold(bool holding);
    // Keeps the report when holding; false otherwise.
    bool keep(std::function<void()>& report);
    // Runs every report kept; they run on the calling thread.
    void release();

   private:
    std::mutex mutex_;  // guards both fields
    bool holding_ = false;
    std::vector<std::function<void()>> kept_;
  };

  FakePeerConnection() = default;
  explicit FakePeerConnection(std::shared_ptr<HeldTransports> held) : held_(std::move(held)) {}
  ~FakePeerConnection() override;

  // From now on every remote description is refused, as a negotiated connection refuses one.
  void refuseDescriptions(bool refusing);
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
  void onTransportsGone(std::function<void()> callback) override;
  std::shared_ptr<RTCDataChannel> createDataChannel(const std::string& label) override;
  bool setRemoteDescription(const std::string& sdp) override;
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override;

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::function<void(std::string)> description_;
  std::function<void(std::string, std::string)> candidate_;
  std::function<void(std::shared_ptr<RTCDataChannel>)> channel_;
  std::function<void(datachannel::DCIceState)> state_;
  std::function<void()> gone_;
  const std::shared_ptr<HeldTransports> held_;
  bool refusingDescriptions_ = false;
  std::vector<std::shared_ptr<FakeDataChannel>> created_;
  std::vector<std::string> remoteDescriptions_;
  std::vector<std::pair<std::string, std::string>> remoteCandidates_;
};

}  // namespace ombrelia::test
