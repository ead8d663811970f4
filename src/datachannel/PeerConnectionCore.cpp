#include "datachannel/PeerConnectionCore.hpp"

#include <openssl/rand.h>

#include <algorithm>

#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/GlibLoop.hpp"
#include "datachannel/SdpParser.hpp"
#include "datachannel/SdpWriter.hpp"

namespace ombrelia::datachannel {
namespace {

// Remote candidates that arrive before the remote description wait for it; a peer has a few
// dozen at most.
constexpr size_t kMaxPendingCandidates = 64;
// DTLS packets that arrive before the agent reports connected wait for it: the first flight of
// a remote client is one to three datagrams.
constexpr size_t kMaxEarlyPackets = 32;
// Granularity of the DTLS retransmission, connect and consent timers.
constexpr std::chrono::milliseconds kTickInterval{50};
// Our receive limit, advertised to the remote side as its send limit.
constexpr size_t kDefaultMaxMessageSize = 256 * 1024;
constexpr uint16_t kSctpPort = 5000;
constexpr size_t kDefaultMtu = 1200;

std::string randomSessionId() {
  uint64_t value = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value);
  // Positive 63-bit decimal, as RFC 3264 recommends for the origin line.
  return std::to_string(value >> 1);
}

std::vector<IceTransport::StunServer> stunServersOf(const std::vector<std::string>& urls) {
  std::vector<IceTransport::StunServer> servers;
  for (const std::string& url : urls) {
    if (url.rfind("stun:", 0) != 0) {
      OmbreliaLogger::debug("datachannel: ICE server ignored (only stun: is supported): " + url,
                            OLogModule::webRTCClient);
      continue;
    }
    std::string rest = url.substr(5);
    IceTransport::StunServer server;
    const size_t colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (colon != std::string::npos && (!bracketed || rest.find(']') < colon)) {
      const std::string portText = rest.substr(colon + 1);
      if (portText.empty() || portText.size() > 5 ||
          !std::all_of(portText.begin(), portText.end(), ::isdigit) || std::stoul(portText) == 0 ||
          std::stoul(portText) > 65535) {
        OmbreliaLogger::debug("datachannel: ICE server with a bad port ignored: " + url,
                              OLogModule::webRTCClient);
        continue;
      }
      server.port = static_cast<uint16_t>(std::stoul(portText));
      rest.resize(colon);
    }
    if (bracketed && rest.size() >= 2 && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
    if (rest.empty()) continue;
    server.host = rest;
    servers.push_back(server);
  }
  return servers;
}

}  // namespace

std::shared_ptr<PeerConnectionCore> PeerConnectionCore::create(const DCConfiguration& config) {
  std::shared_ptr<PeerConnectionCore> core(new PeerConnectionCore(config));
  if (!core->certificate_) {
    OmbreliaLogger::error("datachannel: could not make the DTLS certificate",
                          OLogModule::webRTCClient);
    return nullptr;
  }
  return core;
}

PeerConnectionCore::PeerConnectionCore(const DCConfiguration& config)
    : config_(config),
      certificate_(Certificate::generate()),
      callbackQueue_(platform::DispatchQueue::create("datachannel.callbacks")) {}

PeerConnectionCore::~PeerConnectionCore() = default;

void PeerConnectionCore::log(const std::string& message) const {
  OmbreliaLogger::debug("datachannel: " + message, OLogModule::webRTCClient);
}

void PeerConnectionCore::setDescriptionCallback(DescriptionCallback callback) {
  std::lock_guard lock(mutex_);
  descriptionCallback_ = std::move(callback);
}

void PeerConnectionCore::setCandidateCallback(CandidateCallback callback) {
  std::lock_guard lock(mutex_);
  candidateCallback_ = std::move(callback);
}

void PeerConnectionCore::setStateCallback(StateCallback callback) {
  std::lock_guard lock(mutex_);
  stateCallback_ = std::move(callback);
}

void PeerConnectionCore::postCallback(std::function<void()> block) {
  if (silenced_) return;
  callbackQueue_->async([weak = weak_from_this(), block = std::move(block)] {
    const auto self = weak.lock();
    if (!self || self->silenced_) return;
    block();
  });
}

DCIceState PeerConnectionCore::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::optional<std::string> PeerConnectionCore::localDescription() const {
  std::lock_guard lock(mutex_);
  return localSdpText_;
}

void PeerConnectionCore::changeState(DCIceState state) {
  {
    std::lock_guard lock(mutex_);
    if (state_ == state || state_ == DCIceState::closed) return;
    if (state_ == DCIceState::failed && state != DCIceState::closed) return;
    state_ = state;
  }
  log("state " + description(state));
  postCallback([weak = weak_from_this(), state] {
    const auto self = weak.lock();
    if (!self) return;
    StateCallback callback;
    {
      std::lock_guard lock(self->mutex_);
      callback = self->stateCallback_;
    }
    if (callback) callback(state);
  });
}

void PeerConnectionCore::setLocalDescription() {
  std::lock_guard lock(mutex_);
  if (closeRequested_) return;
  if (phase_ == Phase::idle) {
    phase_ = Phase::localOffer;
    localMade_ = true;
    GlibLoop::shared().invoke([self = shared_from_this()] {
      self->makeLocalDescription(SdpType::offer);
    });
  } else if (phase_ == Phase::remoteOffer && !localMade_) {
    localMade_ = true;
    phase_ = Phase::complete;
    GlibLoop::shared().invoke([self = shared_from_this()] {
      self->makeLocalDescription(SdpType::answer);
    });
  }
}

bool PeerConnectionCore::setRemoteDescription(const std::string& sdp) {
  SdpParseResult parsed = SdpParser::parse(sdp);
  if (!parsed.description) {
    OmbreliaLogger::error(std::string("datachannel: remote description refused: ") +
                              std::string(SdpParser::errorText(parsed.error)),
                          OLogModule::webRTCClient);
    return false;
  }
  bool isOffer = false;
  {
    std::lock_guard lock(mutex_);
    if (closeRequested_) return false;
    if (phase_ == Phase::localOffer) {
      phase_ = Phase::complete;
    } else if (phase_ == Phase::idle) {
      isOffer = true;
      phase_ = Phase::remoteOffer;
      if (!config_.disableAutoNegotiation) {
        localMade_ = true;
        phase_ = Phase::complete;
      }
    } else {
      OmbreliaLogger::error("datachannel: remote description ignored: the session is already "
                            "negotiated",
                            OLogModule::webRTCClient);
      return false;
    }
  }
  GlibLoop::shared().invoke(
      [self = shared_from_this(), remote = std::move(*parsed.description), isOffer]() mutable {
        self->applyRemoteDescription(std::move(remote), isOffer);
      });
  return true;
}

bool PeerConnectionCore::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
  (void)mid;  // one bundled section: every candidate belongs to it
  std::string_view text = candidate;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  if (text.substr(0, 2) == "a=") text.remove_prefix(2);
  if (text.empty() || text == "end-of-candidates") {
    GlibLoop::shared().invoke([self = shared_from_this()] {
      if (self->remote_ && self->ice_) {
        self->ice_->remoteGatheringDone();
      } else {
        self->pendingGatheringDone_ = true;
      }
    });
    return true;
  }
  auto parsed = SdpParser::parseCandidate(text);
  if (!parsed) {
    log("remote candidate refused: " + std::string(text.substr(0, 256)));
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (closeRequested_) return false;
  }
  GlibLoop::shared().invoke([self = shared_from_this(), c = std::move(*parsed)] {
    if (self->tornDown_) return;
    if (!self->remote_) {
      if (self->pendingCandidates_.size() >= kMaxPendingCandidates) {
        self->log("remote candidate dropped: too many before the remote description");
        return;
      }
      self->pendingCandidates_.push_back(c);
      return;
    }
    self->applyRemoteCandidate(c);
  });
  return true;
}

void PeerConnectionCore::close(bool silently) {
  {
    std::lock_guard lock(mutex_);
    if (silently) {
      silenced_ = true;
      descriptionCallback_ = nullptr;
      candidateCallback_ = nullptr;
      stateCallback_ = nullptr;
    }
    if (closeRequested_) return;
    closeRequested_ = true;
  }
  GlibLoop::shared().invoke([self = shared_from_this()] {
    self->teardown();
    self->changeState(DCIceState::closed);
  });
}

void PeerConnectionCore::abandon() {
  GlibLoop::shared().invoke([self = shared_from_this()] {
    self->silenced_ = true;
    self->tornDown_ = true;
    GlibLoop::shared().cancel(self->tickSource_);
    self->tickSource_ = 0;
    if (self->ice_) self->ice_->close();
  });
}

bool PeerConnectionCore::ensureIce(bool controlling) {
  if (ice_) return true;
  if (tornDown_) return false;
  IceTransport::Settings settings;
  settings.controlling = controlling;
  settings.stunServers = stunServersOf(config_.iceServers);
  settings.bindAddress = config_.bindAddress;
  settings.portRangeBegin = config_.portRangeBegin;
  settings.portRangeEnd = config_.portRangeEnd;
  settings.enableIceTcp = config_.enableIceTcp;
  std::weak_ptr<PeerConnectionCore> weak = weak_from_this();
  IceTransport::Callbacks callbacks;
  callbacks.onLocalCandidate = [weak](const SdpCandidate& candidate) {
    if (auto self = weak.lock()) self->onLocalCandidate(candidate);
  };
  callbacks.onStateChange = [weak](IceTransport::State state) {
    if (auto self = weak.lock()) self->onIceState(state);
  };
  callbacks.onPacket = [weak](const uint8_t* data, size_t size) {
    if (auto self = weak.lock()) self->onIcePacket(data, size);
  };
  ice_ = IceTransport::create(settings, std::move(callbacks));
  if (!ice_ || !ice_->gather()) {
    fail("the ICE agent could not start");
    return false;
  }
  if (tickSource_ == 0) {
    tickSource_ = GlibLoop::shared().repeat(kTickInterval, [weak] {
      const auto self = weak.lock();
      if (!self || self->tornDown_) return false;
      self->onTick();
      return true;
    });
  }
  return true;
}

void PeerConnectionCore::makeLocalDescription(SdpType type) {
  if (tornDown_ || local_) return;
  if (type == SdpType::offer && !ensureIce(true)) return;
  if (type == SdpType::answer && (!ice_ || !remote_)) return;
  SdpDescription local;
  local.sessionId = randomSessionId();
  local.iceUfrag = ice_->localUfrag();
  local.icePwd = ice_->localPwd();
  local.fingerprints.push_back({"sha-256", certificate_->fingerprint()});
  if (type == SdpType::offer) {
    local.setup = SdpSetup::actpass;
    local.mid = "0";
  } else {
    // Answering "active" makes this side the DTLS client unless the offerer insisted on it.
    local.setup = remote_->setup == SdpSetup::active ? SdpSetup::passive : SdpSetup::active;
    local.mid = remote_->mid;
    dtlsClient_ = local.setup == SdpSetup::active;
  }
  local.sctpPort = kSctpPort;
  local.maxMessageSize = config_.maxMessageSize.value_or(kDefaultMaxMessageSize);
  local.candidates = ice_->localCandidates();
  local.endOfCandidates = ice_->gatheringDone();
  local_ = local;
  const std::string text = SdpWriter::write(local, type);
  {
    std::lock_guard lock(mutex_);
    localSdpText_ = text;
  }
  postCallback([weak = weak_from_this(), text] {
    const auto self = weak.lock();
    if (!self) return;
    DescriptionCallback callback;
    {
      std::lock_guard lock(self->mutex_);
      callback = self->descriptionCallback_;
    }
    if (callback) callback(text);
  });
  localEmitted_ = true;
  // Candidates gathered before the description follow it, as in a trickled exchange.
  for (const SdpCandidate& candidate : local.candidates) onLocalCandidate(candidate);
}

void PeerConnectionCore::onLocalCandidate(const SdpCandidate& candidate) {
  if (!localEmitted_ || !local_) return;  // carried by the description when it is made
  postCallback([weak = weak_from_this(), line = candidate.line(), mid = local_->mid] {
    const auto self = weak.lock();
    if (!self) return;
    CandidateCallback callback;
    {
      std::lock_guard lock(self->mutex_);
      callback = self->candidateCallback_;
    }
    if (callback) callback(line, mid);
  });
}

void PeerConnectionCore::applyRemoteDescription(SdpDescription remote, bool isOffer) {
  if (tornDown_) return;
  remote_ = std::move(remote);
  if (isOffer) {
    // An ICE-lite peer never controls, so we must even when answering.
    if (!ensureIce(remote_->iceLite)) return;
  } else {
    if (!ice_) return;
    if (remote_->iceLite) ice_->setControlling(true);
    dtlsClient_ = remote_->setup == SdpSetup::passive;
  }
  if (!ice_->setRemoteCredentials(remote_->iceUfrag, remote_->icePwd)) {
    fail("the remote ICE credentials were refused");
    return;
  }
  for (const SdpCandidate& candidate : remote_->candidates) applyRemoteCandidate(candidate);
  for (const SdpCandidate& candidate : pendingCandidates_) applyRemoteCandidate(candidate);
  pendingCandidates_.clear();
  if (remote_->endOfCandidates || pendingGatheringDone_) ice_->remoteGatheringDone();
  connectingSince_ = std::chrono::steady_clock::now();
  changeState(DCIceState::connecting);
  bool makeAnswer = false;
  {
    std::lock_guard lock(mutex_);
    makeAnswer = isOffer && localMade_;
  }
  if (makeAnswer) makeLocalDescription(SdpType::answer);
}

void PeerConnectionCore::applyRemoteCandidate(const SdpCandidate& candidate) {
  if (!ice_->addRemoteCandidate(candidate)) {
    log("remote candidate not usable here, dropped: " + candidate.line());
  }
}

void PeerConnectionCore::onIceState(IceTransport::State state) {
  if (tornDown_) return;
  switch (state) {
    case IceTransport::State::connected:
      startDtls();
      break;
    case IceTransport::State::failed:
      if (this->state() == DCIceState::connected) {
        disconnectedSince_ = std::chrono::steady_clock::now();
        changeState(DCIceState::disconnected);
      } else {
        fail("ICE found no working candidate pair");
      }
      break;
    case IceTransport::State::checking:
      break;
  }
}

void PeerConnectionCore::onIcePacket(const uint8_t* data, size_t size) {
  if (tornDown_ || size == 0) return;
  // Only DTLS records (first byte 20-63) share this flow with STUN, which the agent consumes.
  if (data[0] < 20 || data[0] > 63) return;
  std::shared_ptr<DtlsTransport> dtls;
  {
    std::lock_guard lock(transportMutex_);
    dtls = dtls_;
  }
  if (!dtls) {
    // A remote DTLS client may start before our agent reports the pair connected.
    if (earlyPackets_.size() < kMaxEarlyPackets) earlyPackets_.emplace_back(data, data + size);
    return;
  }
  dtls->handleDatagram(data, size);
}

void PeerConnectionCore::startDtls() {
  {
    std::lock_guard lock(transportMutex_);
    if (dtls_) return;
  }
  if (!remote_) return;
  DtlsTransport::Settings settings;
  settings.certificate = certificate_;
  settings.isClient = dtlsClient_;
  settings.remoteFingerprints = remote_->fingerprints;
  settings.mtu = config_.mtu.value_or(kDefaultMtu);
  std::weak_ptr<PeerConnectionCore> weak = weak_from_this();
  DtlsTransport::Callbacks callbacks;
  callbacks.sendDatagram = [ice = ice_](const uint8_t* data, size_t size) { ice->send(data, size); };
  callbacks.onConnected = [weak] {
    if (auto self = weak.lock()) self->onDtlsConnected();
  };
  callbacks.onFailed = [weak](DtlsTransport::Failure, const std::string& reason) {
    if (auto self = weak.lock()) self->fail("DTLS " + reason);
  };
  callbacks.onRemoteClosed = [weak] {
    if (auto self = weak.lock()) {
      self->log("the remote side closed the connection");
      self->teardown();
      self->changeState(DCIceState::closed);
    }
  };
  std::shared_ptr<DtlsTransport> dtls = DtlsTransport::create(settings, std::move(callbacks));
  if (!dtls) {
    fail("DTLS could not start");
    return;
  }
  {
    std::lock_guard lock(transportMutex_);
    dtls_ = dtls;
  }
  log(std::string("DTLS starting as ") + (dtlsClient_ ? "client" : "server"));
  dtls->start();
  while (!earlyPackets_.empty() && !tornDown_) {
    const std::vector<uint8_t> packet = std::move(earlyPackets_.front());
    earlyPackets_.pop_front();
    dtls->handleDatagram(packet.data(), packet.size());
  }
}

void PeerConnectionCore::onDtlsConnected() {
  if (tornDown_) return;
  log("DTLS connected");
  changeState(DCIceState::connected);
}

void PeerConnectionCore::onTick() {
  std::shared_ptr<DtlsTransport> dtls;
  {
    std::lock_guard lock(transportMutex_);
    dtls = dtls_;
  }
  if (dtls) dtls->handleTimer();
  if (tornDown_) return;
  const auto now = std::chrono::steady_clock::now();
  const DCIceState current = state();
  if (current == DCIceState::connecting && now - connectingSince_ > config_.connectTimeout) {
    fail("not connected within the connect timeout");
  } else if (current == DCIceState::disconnected &&
             now - disconnectedSince_ > config_.failedTimeout) {
    fail("the peer stayed silent");
  }
}

void PeerConnectionCore::fail(const std::string& reason) {
  OmbreliaLogger::error("datachannel: connection failed: " + reason, OLogModule::webRTCClient);
  teardown();
  changeState(DCIceState::failed);
}

void PeerConnectionCore::teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  GlibLoop::shared().cancel(tickSource_);
  tickSource_ = 0;
  std::shared_ptr<DtlsTransport> dtls;
  {
    std::lock_guard lock(transportMutex_);
    dtls = dtls_;
  }
  if (dtls) dtls->close();
  if (ice_) ice_->close();
  earlyPackets_.clear();
  pendingCandidates_.clear();
}

}  // namespace ombrelia::datachannel
