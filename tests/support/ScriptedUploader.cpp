#include "support/ScriptedUploader.hpp"

#include "peers/DataChannelFramework.hpp"
#include "peers/SessionDescription.hpp"
#include "protocol/SegmentFrame.hpp"
#include "support/LossyUdpRelay.hpp"

namespace ombrelia::test {

// The viewer client's delegate: candidates to the scripted side, the rest to the engine.
class ScriptedUploader::Relay : public WebRTCClientDelegate {
 public:
  explicit Relay(std::weak_ptr<ScriptedUploader> owner) : owner_(std::move(owner)) {}
  void setEngine(std::weak_ptr<WebRTCClientDelegate> engine) {
    std::lock_guard lock(mutex_);
    engine_ = std::move(engine);
  }

  void webRTCClient(WebRTCClient& client, const LocalCandidate& candidate) override {
    auto owner = owner_.lock();
    if (!owner) return;
    std::shared_ptr<WebRTCClient> target;
    {
      std::lock_guard lock(owner->waiter_->mutex());
      owner->viewerCandidates_.push_back(candidate);
      if (owner->selfDescribed_) target = owner->self_;
    }
    (void)client;
    if (target)
      target->setRemoteCandidate(owner->fromViewer(candidate.candidate), candidate.mid, nullptr);
  }
  void webRTCClient(WebRTCClient& client, datachannel::DCIceState state) override {
    if (auto e = engine()) e->webRTCClient(client, state);
    if (auto owner = owner_.lock()) owner->waiter_->notify();
  }
  void webRTCClient(WebRTCClient& client, const std::string& text) override {
    if (auto e = engine()) e->webRTCClient(client, text);
  }
  void webRTCClient(WebRTCClient& client, const Data& data) override {
    if (auto e = engine()) e->webRTCClient(client, data);
  }
  void webRTCClient(WebRTCClient& client, int64_t sent) override {
    if (auto e = engine()) e->webRTCClient(client, sent);
  }

 private:
  std::shared_ptr<WebRTCClientDelegate> engine() {
    std::lock_guard lock(mutex_);
    return engine_.lock();
  }
  std::weak_ptr<ScriptedUploader> owner_;
  std::mutex mutex_;  // guards engine_
  std::weak_ptr<WebRTCClientDelegate> engine_;
};

std::shared_ptr<ScriptedUploader> ScriptedUploader::create() {
  std::shared_ptr<ScriptedUploader> uploader(new ScriptedUploader());
  DataChannelFramework framework(DataChannelFramework::loopbackSettings());
  uploader->self_ = WebRTCClient::create({}, framework);
  uploader->viewer_ = WebRTCClient::create({}, framework);
  uploader->relay_ = std::make_shared<Relay>(uploader);
  return uploader;
}

ScriptedUploader::~ScriptedUploader() {
  if (self_) self_->close();
  if (viewer_) viewer_->close();
}

bool ScriptedUploader::connect(std::weak_ptr<WebRTCClientDelegate> engine,
                               std::chrono::milliseconds bound, LossyUdpRelay* relay) {
  if (!self_ || !viewer_) return false;
  relayPath_ = relay;
  relay_->setEngine(std::move(engine));
  self_->setDelegate(weak_from_this());
  viewer_->setDelegate(relay_);
  std::weak_ptr<ScriptedUploader> weak = weak_from_this();
  self_->offer([weak](const SessionDescription& offer) {
    auto owner = weak.lock();
    if (!owner) return;
    owner->viewer_->setRemoteSdp(owner->fromSelf(offer.sdp), nullptr);
    std::vector<LocalCandidate> early;
    {
      std::lock_guard lock(owner->waiter_->mutex());
      owner->viewerDescribed_ = true;
      early = owner->selfCandidates_;
    }
    for (const auto& c : early)
      owner->viewer_->setRemoteCandidate(owner->fromSelf(c.candidate), c.mid, nullptr);
    owner->viewer_->answer([weak](const SessionDescription& answer) {
      auto owner = weak.lock();
      if (!owner) return;
      owner->self_->setRemoteSdp(owner->fromViewer(answer.sdp), nullptr);
      std::vector<LocalCandidate> early;
      {
        std::lock_guard lock(owner->waiter_->mutex());
        owner->selfDescribed_ = true;
        early = owner->viewerCandidates_;
      }
      for (const auto& c : early)
        owner->self_->setRemoteCandidate(owner->fromViewer(c.candidate), c.mid, nullptr);
    });
  });
  // Opening a channel reaches no delegate: the open state is looked at again every slice.
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!(self_->isConnected() && viewer_->isConnected())) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    waiter_->waitFor(std::chrono::milliseconds(20), [] { return false; });
  }
  return true;
}

void ScriptedUploader::say(const std::string& text) { self_->sendData(Data(text), false); }

void ScriptedUploader::sendFrame(const Data& frame) { self_->sendData(frame, true); }

void ScriptedUploader::vanish() { self_->close(); }

void ScriptedUploader::shutWindow() {
  datachannel::SctpImpairment shut;
  shut.shutWindow = true;
  self_->impairSctpForTesting(shut);
}

std::vector<std::string> ScriptedUploader::received(const std::string& type) {
  std::lock_guard lock(waiter_->mutex());
  std::vector<std::string> texts;
  for (const auto& text : texts_)
    if (text.find("\"type\":\"" + type + "\"") != std::string::npos) texts.push_back(text);
  return texts;
}

std::vector<Data> ScriptedUploader::frames() {
  std::lock_guard lock(waiter_->mutex());
  return frames_;
}

bool ScriptedUploader::waitFor(const std::string& type, size_t count,
                               std::chrono::milliseconds bound) {
  const std::string key = "\"type\":\"" + type + "\"";
  return waiter_->waitFor(bound, [&] {
    size_t n = 0;
    for (const auto& text : texts_) n += text.find(key) != std::string::npos ? 1 : 0;
    return n >= count;
  });
}

void ScriptedUploader::webRTCClient(WebRTCClient&, const LocalCandidate& candidate) {
  bool ready = false;
  {
    std::lock_guard lock(waiter_->mutex());
    selfCandidates_.push_back(candidate);
    ready = viewerDescribed_;
  }
  if (ready) viewer_->setRemoteCandidate(fromSelf(candidate.candidate), candidate.mid, nullptr);
}

void ScriptedUploader::webRTCClient(WebRTCClient&, datachannel::DCIceState) { waiter_->notify(); }

std::string ScriptedUploader::fromSelf(const std::string& text) const {
  return relayPath_ ? relayPath_->throughRelay(LossyUdpRelay::Side::offerer, text) : text;
}

std::string ScriptedUploader::fromViewer(const std::string& text) const {
  return relayPath_ ? relayPath_->throughRelay(LossyUdpRelay::Side::answerer, text) : text;
}

void ScriptedUploader::keepNoFrames() {
  std::lock_guard lock(waiter_->mutex());
  keepFrames_ = false;
  frames_.clear();
}

size_t ScriptedUploader::frameBytes(const Uuid& requestID) {
  std::lock_guard lock(waiter_->mutex());
  const auto found = frameBytes_.find(requestID);
  return found == frameBytes_.end() ? 0 : found->second;
}

size_t ScriptedUploader::frameBytes() {
  std::lock_guard lock(waiter_->mutex());
  return allFrameBytes_;
}

size_t ScriptedUploader::answers() {
  std::lock_guard lock(waiter_->mutex());
  return answers_;
}

void ScriptedUploader::webRTCClient(WebRTCClient&, const std::string& text) {
  {
    std::lock_guard lock(waiter_->mutex());
    texts_.push_back(text);
    if (text.find("\"type\":\"fileRequestResponse\"") != std::string::npos) ++answers_;
  }
  waiter_->notify();
}

void ScriptedUploader::webRTCClient(WebRTCClient&, const Data& data) {
  {
    const auto frame = SegmentFrame::parse(data);
    std::lock_guard lock(waiter_->mutex());
    if (frame) frameBytes_[frame->requestID] += data.size();
    allFrameBytes_ += data.size();
    if (keepFrames_) frames_.push_back(data);
  }
  waiter_->notify();
}

void ScriptedUploader::webRTCClient(WebRTCClient&, int64_t) {}

}  // namespace ombrelia::test
