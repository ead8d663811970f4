#include "datachannel/PeerConnectionCore.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <future>
#include <limits>
#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/ChannelFrame.hpp"
#include "datachannel/DcepMessage.hpp"
#include "datachannel/GlibLoop.hpp"
#include "datachannel/SdpParser.hpp"
#include "datachannel/SdpWriter.hpp"
#include "foundation/RepeatedLog.hpp"

namespace ombrelia::datachannel {
namespace {

// Remote candidates one connection takes in all, from its description and trickled, duplicates
// counted; those that arrive before the description wait for it. A peer offers one host candidate
// per local address and one server-reflexive per STUN server: a desktop with ten addresses over two
// families offers about twenty. libnice keeps every candidate it is given, and each one held makes
// every later addition, and the agent's check list, costlier on the loop that drives every
// connection's ICE, DTLS and SCTP timers.
constexpr size_t kMaxRemoteCandidates = 32;
// Remote candidates the ICE agent may learn by itself, one for each address a valid check comes
// from that the peer never announced. An honest peer's checks come from the addresses it
// announced, or through a NAT from one mapped address per socket it checks from; the peer
// knows the credentials, though, and checks from ever new addresses (an IPv6 /64 holds plenty)
// would grow the agent's lists as unannounced candidates do. libnice cannot be told to forget
// one, so a connection past the bound ends.
constexpr size_t kMaxLearnedCandidates = kMaxRemoteCandidates;
// DTLS packets that arrive before the agent reports connected wait for it: the first flight of
// a remote client is one to three datagrams.
constexpr size_t kMaxEarlyPackets = 32;
// Granularity of the DTLS retransmission, connect and consent timers.
constexpr std::chrono::milliseconds kTickInterval{50};
// Our receive limit, advertised to the remote side as its send limit.
constexpr size_t kDefaultMaxMessageSize = 256 * 1024;
constexpr uint16_t kSctpPort = 5000;
constexpr size_t kDefaultMtu = 1200;
// What a peer whose description names no limit is assumed to accept (the WebRTC default).
constexpr size_t kDefaultRemoteMaxMessageSize = 65536;
// A peer advertising "any size" still gets no single message above this from us.
constexpr size_t kMaxSendMessageSize = 16 * 1024 * 1024;
// Memory held for messages while SCTP pushes back, beyond usrsctp's own buffer, each message
// counted with what its entry costs: several 2 MB segments, or some 160,000 tiny messages.
constexpr size_t kMaxBufferedBytes = 16 * 1024 * 1024;
// Received messages waiting for the application on one connection. usrsctp acknowledges what it
// hands us at once, so SCTP's flow control cannot slow a peer that sends faster than the
// application reads; past these bounds the connection is ended instead of growing without end.
// Several 2 MB segments in full frames fit well within them.
constexpr size_t kMaxReceivedWaitingBytes = 16 * 1024 * 1024;
constexpr size_t kMaxReceivedWaitingMessages = 4096;
// Channels per connection; this system uses one.
constexpr uint16_t kMaxStreamId = 1023;
// A peer chooses a channel's label, up to 65,535 bytes: what of it reaches a log line stays short.
constexpr size_t kMaxLoggedLabelBytes = 64;
// Heartbeats keep packets flowing on an idle connection so silence means a vanished peer.
constexpr std::chrono::milliseconds kMinHeartbeat{200};

std::string loggedLabel(const std::string& label) {
  if (label.size() <= kMaxLoggedLabelBytes) return label;
  return label.substr(0, kMaxLoggedLabelBytes) + "... (" + std::to_string(label.size()) + " bytes)";
}

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

// Whoever counts connections until their sockets are closed waits for this one report.
struct PeerConnectionCore::TransportsGone {
  std::mutex mutex;  // guards both fields
  std::function<void()> callback;
  bool gone = false;

  void set(std::function<void()> next) {
    {
      std::lock_guard lock(mutex);
      if (!gone) {
        callback = std::move(next);
        return;
      }
    }
    if (next) next();
  }
  void report() {
    std::function<void()> taken;
    {
      std::lock_guard lock(mutex);
      if (gone) return;
      gone = true;
      taken.swap(callback);
    }
    if (taken) taken();
  }
};

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
      localAddresses_(IceTransport::localAddresses(config.bindAddress, config.maxSockets)),
      certificate_(Certificate::shared()),
      callbackQueue_(platform::DispatchQueue::create("datachannel.callbacks")),
      transportsGone_(std::make_shared<TransportsGone>()) {}

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

void PeerConnectionCore::setChannelCallback(ChannelCallback callback) {
  std::lock_guard lock(mutex_);
  channelCallback_ = std::move(callback);
}

void PeerConnectionCore::setTransportsGoneCallback(std::function<void()> callback) {
  transportsGone_->set(std::move(callback));
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
    GlibLoop::shared().invoke(
        [self = shared_from_this()] { self->makeLocalDescription(SdpType::offer); });
  } else if (phase_ == Phase::remoteOffer && !localMade_) {
    localMade_ = true;
    phase_ = Phase::complete;
    GlibLoop::shared().invoke(
        [self = shared_from_this()] { self->makeLocalDescription(SdpType::answer); });
  }
}

bool PeerConnectionCore::setRemoteDescription(const std::string& sdp) {
  SdpParseResult parsed = SdpParser::parse(sdp);
  if (!parsed.description) {
    // The tracker may relay descriptions for this connection without end.
    RepeatedLog::shared().logEachAtDebug(
        "datachannel remote description refused", reinterpret_cast<uintptr_t>(this),
        [&] {
          return std::string("datachannel: remote description refused: ") +
                 std::string(SdpParser::errorText(parsed.error));
        },
        OLogModule::webRTCClient, OLogLevel::error);
    return false;
  }
  bool isOffer = false;
  bool overflowed = false;
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
      // The tracker may relay descriptions for a negotiated connection without end.
      RepeatedLog::shared().log(
          "datachannel description for a negotiated session", reinterpret_cast<uintptr_t>(this),
          [] {
            return "datachannel: remote description ignored: the session is already negotiated";
          },
          OLogModule::webRTCClient);
      return false;
    }
    auto& candidates = parsed.description->candidates;
    const size_t room = kMaxRemoteCandidates - std::min(remoteCandidates_, kMaxRemoteCandidates);
    if (candidates.size() > room) {
      candidates.resize(room);
      overflowed = true;
    }
    remoteCandidates_ += candidates.size();
  }
  if (overflowed) reportCandidateOverflow();
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
    {
      // Only the first says anything; the rest would each cost the loop a turn.
      std::lock_guard lock(mutex_);
      if (closeRequested_ || remoteGatheringEnded_) return true;
      remoteGatheringEnded_ = true;
    }
    GlibLoop::shared().invoke([self = shared_from_this()] {
      if (self->remote_ && self->ice_) {
        self->ice_->remoteGatheringDone();
      } else {
        self->pendingGatheringDone_ = true;
      }
    });
    return true;
  }
  bool taken = false;
  {
    // Counted before anything else is done with it: past the bound a candidate costs no parse
    // and no turn of the loop.
    std::lock_guard lock(mutex_);
    if (closeRequested_) return false;
    taken = remoteCandidates_ < kMaxRemoteCandidates;
    if (taken) ++remoteCandidates_;
  }
  if (!taken) {
    reportCandidateOverflow();
    return false;
  }
  auto parsed = SdpParser::parseCandidate(text);
  if (!parsed) {
    log("remote candidate refused: " + std::string(text.substr(0, 256)));
    return false;
  }
  GlibLoop::shared().invoke([self = shared_from_this(), c = std::move(*parsed)] {
    if (self->tornDown_) return;
    if (!self->remote_) {
      self->pendingCandidates_.push_back(c);
      return;
    }
    self->applyRemoteCandidate(c);
  });
  return true;
}

void PeerConnectionCore::reportCandidateOverflow() {
  if (candidateOverflowReported_.exchange(true)) return;
  // Once per connection, and a peer may make connections one after another: the line names no
  // connection, so one a minute, with a count, tells all there is.
  RepeatedLog::shared().logEachAtDebug(
      "datachannel remote candidates past the bound", RepeatedLog::kOtherParties,
      [] {
        return "datachannel: remote candidates past " + std::to_string(kMaxRemoteCandidates) +
               " dropped: no peer gathers that many, so the rest are not taken";
      },
      OLogModule::webRTCClient, OLogLevel::info);
}

void PeerConnectionCore::close(bool silently) {
  {
    std::lock_guard lock(mutex_);
    if (silently) {
      silenced_ = true;
      descriptionCallback_ = nullptr;
      candidateCallback_ = nullptr;
      stateCallback_ = nullptr;
      channelCallback_ = nullptr;
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
    self->releaseIce();
  });
}

void PeerConnectionCore::releaseIce() {
  if (!ice_) {
    transportsGone_->report();
    return;
  }
  ice_->close([gone = transportsGone_] { gone->report(); });
}

bool PeerConnectionCore::ensureIce(bool controlling) {
  if (ice_) return true;
  if (tornDown_) return false;
  IceTransport::Settings settings;
  settings.controlling = controlling;
  settings.stunServers = stunServersOf(config_.iceServers);
  settings.bindAddress = config_.bindAddress;
  settings.localAddresses = localAddresses_;
  settings.portRangeBegin = config_.portRangeBegin;
  settings.portRangeEnd = config_.portRangeEnd;
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
  callbacks.onRemoteCandidateLearned = [weak] {
    if (auto self = weak.lock()) self->onLearnedCandidate();
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
  if (!remote_->maxMessageSize) {
    remoteMaxMessageSize_ = kDefaultRemoteMaxMessageSize;
  } else {
    remoteMaxMessageSize_ = *remote_->maxMessageSize == 0
                                ? kMaxSendMessageSize
                                : std::min(*remote_->maxMessageSize, kMaxSendMessageSize);
  }
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

void PeerConnectionCore::onLearnedCandidate() {
  if (tornDown_ || ++learnedCandidates_ <= kMaxLearnedCandidates) return;
  fail("the peer's checks came from more than " + std::to_string(kMaxLearnedCandidates) +
       " addresses it never announced");
}

void PeerConnectionCore::onIcePacket(const uint8_t* data, size_t size) {
  if (tornDown_ || size == 0) return;
  // Only DTLS records (first byte 20-63) share this flow with STUN, which the agent consumes.
  if (data[0] < 20 || data[0] > 63) return;
  lastReceived_ = std::chrono::steady_clock::now();
  std::shared_ptr<DtlsTransport> dtls;
  {
    std::lock_guard lock(transportMutex_);
    dtls = dtls_;
  }
  if (!dtls) {
    // A remote DTLS client may start before our agent reports the pair connected.
    if (earlyPackets_.size() < kMaxEarlyPackets) {
      if (earlyPackets_.empty()) log("DTLS packet held until ICE reports connected");
      earlyPackets_.emplace_back(data, data + size);
    }
    return;
  }
  inputWaiting_ = ice_ && ice_->inputWaiting();
  dtls->handleDatagram(data, size);
  inputWaiting_ = false;
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
  callbacks.sendDatagram = [ice = ice_](const uint8_t* data, size_t size) {
    ice->send(data, size);
  };
  callbacks.sendDatagrams = [ice = ice_](const uint8_t* bytes, const std::vector<size_t>& ends) {
    ice->sendAll(bytes, ends);
  };
  callbacks.onConnected = [weak] {
    if (auto self = weak.lock()) self->onDtlsConnected();
  };
  callbacks.onFailed = [weak](DtlsTransport::Failure, const std::string& reason) {
    if (auto self = weak.lock()) self->fail("DTLS " + reason);
  };
  callbacks.onData = [weak](const uint8_t* data, size_t size) {
    const auto self = weak.lock();
    if (!self) return;
    if (auto sctp = self->sctp()) sctp->handlePacket(data, size, self->inputWaiting_);
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
  lastReceived_ = std::chrono::steady_clock::now();
  startSctp();
}

std::shared_ptr<SctpTransport> PeerConnectionCore::sctp() const {
  std::lock_guard lock(transportMutex_);
  return sctp_;
}

void PeerConnectionCore::startSctp() {
  SctpTransport::Settings settings;
  settings.remotePort = remote_->sctpPort;
  settings.maxReceiveMessage = config_.maxMessageSize.value_or(kDefaultMaxMessageSize);
  settings.maxBufferedBytes = kMaxBufferedBytes;
  settings.heartbeatInterval = std::max(kMinHeartbeat, config_.consentTimeout / 4);
  std::weak_ptr<PeerConnectionCore> weak = weak_from_this();
  SctpTransport::Callbacks callbacks;
  callbacks.sendPackets = [weak](const uint8_t* bytes, const std::vector<size_t>& ends) {
    const auto self = weak.lock();
    if (!self) return;
    const auto send = [weak](const uint8_t* bytes, const std::vector<size_t>& ends) {
      const auto self = weak.lock();
      if (!self) return;
      std::shared_ptr<DtlsTransport> dtls;
      {
        std::lock_guard lock(self->transportMutex_);
        dtls = self->dtls_;
      }
      if (dtls) dtls->sendAll(bytes, ends);
    };
    std::shared_ptr<SctpImpairer> impairer;
    if (self->impaired_) {
      std::lock_guard lock(self->impairerMutex_);
      impairer = self->impairer_;
    }
    if (impairer) {
      impairer->pass(bytes, ends, send);
    } else {
      send(bytes, ends);
    }
  };
  callbacks.onConnected = [weak] {
    if (auto self = weak.lock()) self->onSctpConnected();
  };
  callbacks.onClosed = [weak] {
    // Inside usrsctp: the teardown, which closes the socket, must run outside it.
    GlibLoop::shared().invoke([weak] {
      const auto self = weak.lock();
      if (!self || self->tornDown_) return;
      self->log("the remote side ended the association");
      self->teardown();
      self->changeState(DCIceState::closed);
    });
  };
  callbacks.onMessage = [weak](uint16_t stream, uint32_t ppid, std::vector<uint8_t> message) {
    if (auto self = weak.lock()) self->onSctpMessage(stream, ppid, std::move(message));
  };
  callbacks.onStreamsReset = [weak](std::vector<uint16_t> streams) {
    if (auto self = weak.lock()) self->onSctpStreamsReset(streams);
  };
  callbacks.onStuck = [weak](const std::string& why) {
    // The transport may not be closed from inside its own callback.
    GlibLoop::shared().invoke([weak, why] {
      const auto self = weak.lock();
      if (self && !self->tornDown_) self->fail("the SCTP association is stuck: " + why);
    });
  };
  callbacks.onOverBudget = [weak](const std::string& why) {
    GlibLoop::shared().invoke([weak, why] {
      const auto self = weak.lock();
      if (self && !self->tornDown_) self->fail("send budget of all connections passed: " + why);
    });
  };
  auto sctp = SctpTransport::create(settings, std::move(callbacks));
  {
    std::lock_guard lock(transportMutex_);
    sctp_ = sctp;
  }
  {
    std::lock_guard lock(channelsMutex_);
    // Stream identifiers by DTLS role keep the two sides from opening the same stream.
    nextStreamId_ = dtlsClient_ ? 0 : 1;
    localParity_ = nextStreamId_;
  }
  if (!sctp->start()) fail("SCTP could not start");
}

void PeerConnectionCore::onSctpConnected() {
  if (tornDown_) return;
  log("SCTP connected");
  std::vector<std::shared_ptr<DCDataChannel>> toOpen;
  {
    std::lock_guard lock(channelsMutex_);
    sctpConnected_ = true;
    for (auto& channel : unassignedChannels_) {
      while (channels_.count(nextStreamId_) != 0 && nextStreamId_ <= kMaxStreamId) {
        nextStreamId_ += 2;
      }
      if (nextStreamId_ > kMaxStreamId) break;
      channel->assignId(nextStreamId_);
      channels_[nextStreamId_] = channel;
      nextStreamId_ += 2;
      toOpen.push_back(channel);
    }
    unassignedChannels_.clear();
  }
  changeState(DCIceState::connected);
  for (const auto& channel : toOpen) sendOpen(channel);
}

void PeerConnectionCore::sendOpen(const std::shared_ptr<DCDataChannel>& channel) {
  const DCDataChannelInit& init = channel->options();
  DcepMessage open;
  open.kind = DcepMessage::Kind::open;
  open.label = channel->label();
  open.protocol = init.protocol;
  if (init.maxRetransmits) {
    open.channelType = DcepMessage::kPartialReliableRexmit;
    open.reliabilityParameter = *init.maxRetransmits;
  } else if (init.maxPacketLifeTime) {
    open.channelType = DcepMessage::kPartialReliableTimed;
    open.reliabilityParameter = *init.maxPacketLifeTime;
  }
  if (!init.ordered) open.channelType |= DcepMessage::kUnorderedBit;
  const std::vector<uint8_t> bytes = open.encode();
  auto sctp = this->sctp();
  // The control message itself is always reliable and ordered.
  const auto result =
      sctp ? sctp->send(*channel->id(), DcepMessage::kPpidControl, bytes.data(), bytes.size(), {})
           : SctpTransport::SendResult::refused;
  if (result != SctpTransport::SendResult::sent && result != SctpTransport::SendResult::queued) {
    OmbreliaLogger::error(
        "datachannel: could not open channel \"" + loggedLabel(channel->label()) + "\"",
        OLogModule::webRTCClient);
  }
}

void PeerConnectionCore::onSctpMessage(uint16_t stream, uint32_t ppid,
                                       std::vector<uint8_t> message) {
  if (tornDown_) return;
  if (ppid == DcepMessage::kPpidControl) {
    onControlMessage(stream, message);
    return;
  }
  std::shared_ptr<DCDataChannel> channel;
  {
    std::lock_guard lock(channelsMutex_);
    const auto it = channels_.find(stream);
    if (it != channels_.end()) channel = it->second;
  }
  if (!channel) {
    // Also what a peer sends on a channel refused or closed: dropped as it comes, at the cost of
    // no more than a debug line.
    if (OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::webRTCClient)) {
      log("message on stream " + std::to_string(stream) + " without a channel, dropped");
    }
    return;
  }
  auto frame = ChannelFrame::decode(ppid, std::move(message));
  if (!frame) {
    log("message with payload protocol " + std::to_string(ppid) + " dropped");
    return;
  }
  const size_t bytes =
      std::visit([](const auto& m) { return static_cast<size_t>(m.size()); }, *frame);
  if (!admitReceived(bytes)) return;
  // Data before the acknowledgement implies it: the open event still comes first.
  postCallback([weak = weak_from_this(), channel, bytes, frame = std::move(*frame)]() mutable {
    channel->deliverOpen();
    channel->deliverMessage(std::move(frame));
    if (auto self = weak.lock()) {
      self->receivedWaitingBytes_ -= bytes;
      --self->receivedWaitingMessages_;
    }
  });
}

bool PeerConnectionCore::admitReceived(size_t bytes) {
  if (receiveOverflowed_) return false;
  const size_t waitingBytes = receivedWaitingBytes_ += bytes;
  const size_t waitingMessages = ++receivedWaitingMessages_;
  if (waitingBytes <= kMaxReceivedWaitingBytes && waitingMessages <= kMaxReceivedWaitingMessages) {
    return true;
  }
  receivedWaitingBytes_ -= bytes;
  --receivedWaitingMessages_;
  if (receiveOverflowed_.exchange(true)) return false;
  OmbreliaLogger::error("datachannel: connection closed: the peer sends faster than it is read (" +
                            std::to_string(waitingMessages - 1) + " messages, " +
                            std::to_string(waitingBytes - bytes) + " bytes waiting)",
                        OLogModule::webRTCClient);
  // Inside usrsctp: the teardown, which closes the socket, must run outside it.
  GlibLoop::shared().invoke([weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->tornDown_) return;
    self->teardown();
    self->changeState(DCIceState::failed);
  });
  return false;
}

void PeerConnectionCore::onControlMessage(uint16_t stream, const std::vector<uint8_t>& bytes) {
  const auto message = DcepMessage::decode(bytes.data(), bytes.size());
  if (!message) {
    log("malformed channel control message on stream " + std::to_string(stream) + ", dropped");
    return;
  }
  if (message->kind == DcepMessage::Kind::ack) {
    std::shared_ptr<DCDataChannel> channel;
    {
      std::lock_guard lock(channelsMutex_);
      const auto it = channels_.find(stream);
      if (it != channels_.end()) channel = it->second;
    }
    if (channel) postCallback([channel] { channel->deliverOpen(); });
    return;
  }
  DCDataChannelInit init;
  init.ordered = message->ordered();
  init.protocol = message->protocol;
  const uint8_t policy = message->channelType & static_cast<uint8_t>(~DcepMessage::kUnorderedBit);
  const auto parameter =
      static_cast<uint16_t>(std::min<uint32_t>(message->reliabilityParameter, 0xFFFF));
  if (policy == DcepMessage::kPartialReliableRexmit) init.maxRetransmits = parameter;
  if (policy == DcepMessage::kPartialReliableTimed) init.maxPacketLifeTime = parameter;
  std::shared_ptr<DCDataChannel> channel;
  std::string refusal;
  bool exhausted = false;
  {
    std::lock_guard lock(channelsMutex_);
    if (opensExhausted_) return;
    // The peer opens on streams of its own parity only, each once.
    const bool ours = (stream % 2) == localParity_;
    if (ours || stream > kMaxStreamId || channels_.count(stream) != 0) {
      log("channel open on stream " + std::to_string(stream) + " refused");
      return;
    }
    const auto& labels = config_.remoteChannelLabels;
    if (labels && std::find(labels->begin(), labels->end(), message->label) == labels->end()) {
      refusal = "label \"" + loggedLabel(message->label) + "\" not taken";
    } else if (config_.maxRemoteChannels) {
      const auto held = static_cast<size_t>(
          std::count_if(channels_.begin(), channels_.end(),
                        [&](const auto& entry) { return entry.first % 2 != localParity_; }));
      if (held >= *config_.maxRemoteChannels) {
        refusal = "the peer holds " + std::to_string(held) + " channels already";
      }
    }
    if (refusal.empty() && config_.maxRemoteChannelOpens &&
        remoteOpensTaken_ >= *config_.maxRemoteChannelOpens) {
      exhausted = true;
    } else if (refusal.empty()) {
      ++remoteOpensTaken_;
      channel = DCDataChannel::make(weak_from_this(), message->label, std::move(init));
      channel->assignId(stream);
      channels_[stream] = channel;
    }
  }
  if (exhausted) {
    endForOpens();
    return;
  }
  if (!channel) {
    refuseOpen(stream, refusal);
    return;
  }
  DcepMessage ackMessage;
  ackMessage.kind = DcepMessage::Kind::ack;
  const std::vector<uint8_t> ack = ackMessage.encode();
  if (auto sctp = this->sctp()) {
    sctp->send(stream, DcepMessage::kPpidControl, ack.data(), ack.size(), {});
  }
  log("remote channel \"" + loggedLabel(message->label) + "\" opened on stream " +
      std::to_string(stream));
  // Announced first; the open event follows once the announcement has returned.
  postCallback([weak = weak_from_this(), channel] {
    const auto self = weak.lock();
    if (!self) return;
    ChannelCallback callback;
    {
      std::lock_guard lock(self->mutex_);
      callback = self->channelCallback_;
    }
    if (callback) callback(channel);
  });
  postCallback([channel] { channel->deliverOpen(); });
}

void PeerConnectionCore::refuseOpen(uint16_t stream, const std::string& why) {
  // The one refusal an open can get: its stream reset, which closes the channel on the peer's
  // side. Nothing here waits for the peer to reset its side in turn.
  if (auto sctp = this->sctp()) sctp->resetStream(stream);
  const std::string line = "channel open on stream " + std::to_string(stream) + " refused: " + why;
  if (++refusedOpens_ == 1) {
    OmbreliaLogger::error("datachannel: " + line +
                              " (further refusals on this connection are "
                              "logged at debug level)",
                          OLogModule::webRTCClient);
  } else if (OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::webRTCClient)) {
    log(line);
  }
}

void PeerConnectionCore::endForOpens() {
  if (opensExhausted_.exchange(true)) return;
  const std::string reason = "the peer opened more than " +
                             std::to_string(*config_.maxRemoteChannelOpens) +
                             " channels over the connection's life";
  // Inside usrsctp: the teardown, which closes the socket, must run outside it.
  GlibLoop::shared().invoke([weak = weak_from_this(), reason] {
    const auto self = weak.lock();
    if (!self || self->tornDown_) return;
    const auto sctp = self->sctp();
    const auto status = sctp ? sctp->status() : std::nullopt;
    self->fail(reason + (status
                             ? " (" + std::to_string(status->queuedEntries) + " entries queued, " +
                                   std::to_string(status->queuedCost) + " bytes held)"
                             : std::string()));
  });
}

void PeerConnectionCore::onSctpStreamsReset(const std::vector<uint16_t>& streams) {
  auto sctp = this->sctp();
  for (uint16_t stream : streams) {
    std::shared_ptr<DCDataChannel> channel;
    {
      std::lock_guard lock(channelsMutex_);
      const auto it = channels_.find(stream);
      if (it == channels_.end()) continue;
      channel = it->second;
      channels_.erase(it);
      closingSince_.erase(stream);
    }
    // The peer closed its side: close ours too so the stream can be reused.
    if (channel->markClosing() && sctp) sctp->resetStream(stream);
    postCallback([channel] { channel->deliverClosed(); });
  }
}

std::shared_ptr<DCDataChannel> PeerConnectionCore::createDataChannel(std::string label,
                                                                     DCDataChannelInit init) {
  {
    std::lock_guard lock(mutex_);
    if (closeRequested_) return nullptr;
  }
  auto channel = DCDataChannel::make(weak_from_this(), std::move(label), std::move(init));
  bool openNow = false;
  {
    std::lock_guard lock(channelsMutex_);
    if (sctpConnected_) {
      while (channels_.count(nextStreamId_) != 0 && nextStreamId_ <= kMaxStreamId) {
        nextStreamId_ += 2;
      }
      if (nextStreamId_ > kMaxStreamId) return nullptr;
      channel->assignId(nextStreamId_);
      channels_[nextStreamId_] = channel;
      nextStreamId_ += 2;
      openNow = true;
    } else {
      unassignedChannels_.push_back(channel);
    }
  }
  if (openNow) sendOpen(channel);
  if (!config_.disableAutoNegotiation) {
    bool idle = false;
    {
      std::lock_guard lock(mutex_);
      idle = phase_ == Phase::idle;
    }
    if (idle) setLocalDescription();
  }
  return channel;
}

bool PeerConnectionCore::sendChannelMessage(uint16_t stream, uint32_t ppid, const uint8_t* data,
                                            size_t size, const DCDataChannelInit& init) {
  // Each refusal below repeats for as long as the peer keeps its window shut or the engine keeps
  // answering it: told once per connection, then counted.
  const auto party = reinterpret_cast<uintptr_t>(this);
  const size_t limit = remoteMaxMessageSize_;
  if (size > limit) {
    RepeatedLog::shared().log(
        "datachannel send over the peer's size", party,
        [&] {
          return "datachannel: message of " + std::to_string(size) +
                 " bytes refused: the peer accepts at most " + std::to_string(limit);
        },
        OLogModule::webRTCClient);
    return false;
  }
  const auto sctp = this->sctp();
  if (!sctp) return false;
  SctpTransport::Reliability reliability;
  reliability.ordered = init.ordered;
  if (init.maxRetransmits) reliability.maxRetransmits = *init.maxRetransmits;
  if (init.maxPacketLifeTime) reliability.maxPacketLifeTimeMs = *init.maxPacketLifeTime;
  const SctpTransport::SendResult result = sctp->send(stream, ppid, data, size, reliability);
  if (result == SctpTransport::SendResult::tooLarge) {
    RepeatedLog::shared().log(
        "datachannel send over the send buffer", party,
        [&] {
          return "datachannel: message of " + std::to_string(size) +
                 " bytes refused: larger than the send buffer of " +
                 std::to_string(SctpTransport::kMaxMessageBytes) + " bytes";
        },
        OLogModule::webRTCClient);
    return false;
  }
  if (result == SctpTransport::SendResult::full || result == SctpTransport::SendResult::refused) {
    // The transport refuses a message once the association is gone or when SCTP itself turns it
    // down: a channel's close event reaches the application only after its connection has
    // ended, and sends made meanwhile land here with nothing waiting.
    std::string cause;
    if (result == SctpTransport::SendResult::full) {
      cause = "datachannel send buffer full";
    } else if (tornDown_) {
      cause = "datachannel send on a closed connection";
    } else {
      cause = "datachannel send refused by SCTP";
    }
    RepeatedLog::shared().log(
        cause, party,
        [&] {
          std::string why;
          if (result == SctpTransport::SendResult::full) {
            why = "refused: the send buffer is full (" + std::to_string(sctp->bufferedBytes()) +
                  " bytes waiting, " + std::to_string(sctp->queuedCost()) + " bytes held)";
          } else if (tornDown_) {
            why = "not sent: the connection is closed";
          } else {
            why = "not sent: the SCTP association refused it";
          }
          return "datachannel: message of " + std::to_string(size) + " bytes " + why;
        },
        OLogModule::webRTCClient);
    return false;
  }
  return true;
}

void PeerConnectionCore::closeChannel(const std::shared_ptr<DCDataChannel>& channel) {
  if (!channel->markClosing()) return;
  const auto id = channel->id();
  bool assigned = false;
  bool opened = false;  // by the peer, on a stream of its own
  {
    std::lock_guard lock(channelsMutex_);
    const auto it = id ? channels_.find(*id) : channels_.end();
    assigned = it != channels_.end() && it->second == channel;
    opened = assigned && *id % 2 != localParity_;
    if (opened) {
      // This side never opens a channel on the peer's streams, so nothing waits for the peer to
      // reset its side: the channel goes now, whether or not the peer ever answers, and what
      // the peer still sends on the stream is dropped as it comes.
      channels_.erase(it);
    } else if (!assigned) {
      unassignedChannels_.erase(
          std::remove(unassignedChannels_.begin(), unassignedChannels_.end(), channel),
          unassignedChannels_.end());
    }
  }
  const auto sctp = this->sctp();
  if (opened) {
    if (sctp) sctp->resetStream(*id);
    postCallback([channel] { channel->deliverClosed(); });
    return;
  }
  if (assigned && sctp) {
    // The close event comes when the peer resets its side in answer, or at the bound.
    {
      std::lock_guard lock(channelsMutex_);
      closingSince_[*id] = std::chrono::steady_clock::now();
    }
    sctp->resetStream(*id);
    return;
  }
  if (assigned) {
    std::lock_guard lock(channelsMutex_);
    channels_.erase(*id);
  }
  postCallback([channel] { channel->deliverClosed(); });
}

void PeerConnectionCore::impairSctp(const SctpImpairment& impairment) {
  std::lock_guard lock(impairerMutex_);
  impairer_ = std::make_shared<SctpImpairer>(impairment);
  impaired_ = true;
}

bool PeerConnectionCore::sendRawForTesting(uint16_t stream, uint32_t ppid,
                                           const std::vector<uint8_t>& bytes) {
  const auto sctp = this->sctp();
  if (!sctp) return false;
  const auto result = sctp->send(stream, ppid, bytes.data(), bytes.size(), {});
  return result == SctpTransport::SendResult::sent || result == SctpTransport::SendResult::queued;
}

std::optional<size_t> PeerConnectionCore::remoteCandidatesHeld() const {
  auto answer = std::make_shared<std::promise<std::optional<size_t>>>();
  auto held = answer->get_future();
  GlibLoop::shared().invoke([self = shared_from_this(), answer] {
    answer->set_value(self->ice_ ? std::optional<size_t>(self->ice_->remoteCandidateCount())
                                 : std::nullopt);
  });
  if (held.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
  return held.get();
}

size_t PeerConnectionCore::bufferedAmount() const {
  const auto sctp = this->sctp();
  return sctp ? sctp->bufferedBytes() : 0;
}

size_t PeerConnectionCore::unconfirmedAmount() const {
  const auto sctp = this->sctp();
  // Without a transport nothing is known to have reached the peer.
  return sctp ? sctp->unconfirmedBytes() : std::numeric_limits<size_t>::max();
}

std::optional<uint32_t> PeerConnectionCore::peerReceiveWindow() const {
  const auto sctp = this->sctp();
  return sctp ? sctp->peerAdvertisedWindow() : std::nullopt;
}

std::optional<SctpStatus> PeerConnectionCore::sctpStatus() const {
  const auto sctp = this->sctp();
  auto status = sctp ? sctp->status() : std::nullopt;
  if (status) status->messagesAwaitingDelivery = receivedWaitingMessages_;
  return status;
}

void PeerConnectionCore::closeAllChannels() {
  std::vector<std::shared_ptr<DCDataChannel>> all;
  {
    std::lock_guard lock(channelsMutex_);
    for (auto& [stream, channel] : channels_) all.push_back(channel);
    all.insert(all.end(), unassignedChannels_.begin(), unassignedChannels_.end());
    channels_.clear();
    unassignedChannels_.clear();
    closingSince_.clear();
    sctpConnected_ = false;
  }
  for (auto& channel : all) postCallback([channel] { channel->deliverClosed(); });
}

void PeerConnectionCore::onTick() {
  std::shared_ptr<DtlsTransport> dtls;
  {
    std::lock_guard lock(transportMutex_);
    dtls = dtls_;
  }
  if (dtls) dtls->handleTimer();
  if (tornDown_) return;
  if (auto sctp = this->sctp(); sctp && sctp->bufferedBytes() > 0) sctp->flush();
  const auto now = std::chrono::steady_clock::now();
  endUnansweredCloses(now);
  const DCIceState current = state();
  if (current == DCIceState::connecting && now - connectingSince_ > config_.connectTimeout) {
    fail("not connected within the connect timeout");
  } else if (current == DCIceState::connected && now - lastReceived_ > config_.consentTimeout) {
    // Heartbeats make an idle connection carry packets, so this long a silence is a lost peer.
    log("no packet from the peer for " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReceived_).count()) +
        " ms");
    disconnectedSince_ = now;
    changeState(DCIceState::disconnected);
  } else if (current == DCIceState::disconnected &&
             now - disconnectedSince_ > config_.failedTimeout) {
    fail("the peer stayed silent");
  }
}

void PeerConnectionCore::endUnansweredCloses(std::chrono::steady_clock::time_point now) {
  // As long as the connection itself waits for a silent peer: a close still unanswered then,
  // on a connection still up, will not be answered (the peer refuses or ignores the reset, or
  // it stays parked for want of data). Its stream stays taken, since it was never reset.
  const auto bound = config_.consentTimeout + config_.failedTimeout;
  std::vector<std::shared_ptr<DCDataChannel>> ended;
  {
    std::lock_guard lock(channelsMutex_);
    for (auto it = closingSince_.begin(); it != closingSince_.end();) {
      if (now - it->second <= bound) {
        ++it;
        continue;
      }
      if (const auto channel = channels_.find(it->first); channel != channels_.end()) {
        ended.push_back(channel->second);
      }
      it = closingSince_.erase(it);
    }
  }
  for (const auto& channel : ended) {
    OmbreliaLogger::error(
        "datachannel: channel \"" + loggedLabel(channel->label()) +
            "\" closed without the peer: its stream reset went unanswered for " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count()) +
            " ms",
        OLogModule::webRTCClient);
    postCallback([channel] { channel->deliverClosed(); });
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
  std::shared_ptr<SctpTransport> sctp = this->sctp();
  // The abort goes out through DTLS, so SCTP closes first; never from inside a usrsctp callback.
  if (sctp) sctp->close();
  if (dtls) dtls->close();
  releaseIce();
  closeAllChannels();
  earlyPackets_.clear();
  pendingCandidates_.clear();
}

}  // namespace ombrelia::datachannel
