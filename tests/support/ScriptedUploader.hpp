#pragma once
// Any thread: the test scripts it from its own thread; the data-channel threads deliver into it
// and relay the viewer side's events, each recorded under the waiter's lock.

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCClientDelegate.hpp"
#include "platform/Uuid.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::test {

class LossyUdpRelay;

// A peer whose every message the test writes, on a real data channel over 127.0.0.1 (our own
// stack: ICE, DTLS, SCTP) to a viewer's WebRTC client. The viewer's client is made here too;
// its events go to the viewer's engine, except its candidates, which are handed straight to
// the scripted side in place of the signalling service.
class ScriptedUploader : public WebRTCClientDelegate,
                         public std::enable_shared_from_this<ScriptedUploader> {
 public:
  static std::shared_ptr<ScriptedUploader> create();
  ~ScriptedUploader() override;

  // Negotiates both ends and waits for both channels to open; events of the viewer's client go
  // to `engine` from then on. With a relay, every packet of the connection passes through it.
  bool connect(std::weak_ptr<WebRTCClientDelegate> engine, std::chrono::milliseconds bound,
               LossyUdpRelay* relay = nullptr);
  const std::shared_ptr<WebRTCClient>& viewerClient() const { return viewer_; }

  void say(const std::string& text);
  void sendFrame(const Data& frame);
  // Closes the scripted side: the viewer's channel closes as a vanished peer's would.
  void vanish();
  // Every acknowledgement the scripted side sends from now on advertises a window of 0, as a
  // peer that never reads would; it still acknowledges the viewer's window probes.
  void shutWindow();

  // Texts the viewer sent, of one "type".
  std::vector<std::string> received(const std::string& type);
  // Binary frames the viewer sent, in order; none are kept once keepNoFrames() is called, when
  // only their sizes are counted.
  std::vector<Data> frames();
  void keepNoFrames();
  // Bytes of the segment frames of one request (headers included), and of all frames.
  size_t frameBytes(const Uuid& requestID);
  size_t frameBytes();
  // Texts the viewer sent of type "fileRequestResponse".
  size_t answers();
  // Waits for the count of texts of that type to reach `count`.
  bool waitFor(const std::string& type, size_t count, std::chrono::milliseconds bound);
  Waiter& waiter() { return *waiter_; }

  void webRTCClient(WebRTCClient& client, const LocalCandidate& candidate) override;
  void webRTCClient(WebRTCClient& client, datachannel::DCIceState state) override;
  void webRTCClient(WebRTCClient& client, const std::string& text) override;
  void webRTCClient(WebRTCClient& client, const Data& data) override;
  void webRTCClient(WebRTCClient& client, int64_t sent) override;

 private:
  class Relay;
  ScriptedUploader() = default;
  // Candidates and descriptions as the other side is to see them: through the relay, if any.
  std::string fromSelf(const std::string& text) const;
  std::string fromViewer(const std::string& text) const;

  std::shared_ptr<Waiter> waiter_ = std::make_shared<Waiter>();
  std::shared_ptr<WebRTCClient> self_;
  std::shared_ptr<WebRTCClient> viewer_;
  std::shared_ptr<Relay> relay_;
  // Guarded by the waiter's lock.
  std::vector<std::string> texts_;
  std::vector<Data> frames_;
  bool keepFrames_ = true;
  std::map<Uuid, size_t> frameBytes_;
  size_t allFrameBytes_ = 0;
  size_t answers_ = 0;
  LossyUdpRelay* relayPath_ = nullptr;  // set before connecting
  std::vector<LocalCandidate> selfCandidates_;
  std::vector<LocalCandidate> viewerCandidates_;
  bool viewerDescribed_ = false;  // the viewer has the offer: candidates may go to it
  bool selfDescribed_ = false;    // the scripted side has the answer
};

}  // namespace ombrelia::test
