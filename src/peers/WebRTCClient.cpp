#include "peers/WebRTCClient.hpp"

#include <limits>
#include <utility>

#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/DCLibDC.hpp"
#include "datachannel/SdpParser.hpp"
#include "foundation/RepeatedLog.hpp"
#include "peers/PeerConnectionFactory.hpp"
#include "peers/RTCDataChannel.hpp"
#include "peers/RTCPeerConnection.hpp"
#include "peers/WebRTCClientDelegate.hpp"
#include "platform/url/Utf8.hpp"
#include "protocol/AbonnementRequestMessage.hpp"
#include "protocol/AbonnementResponseMessage.hpp"
#include "protocol/ConnectionProofMessageReader.hpp"
#include "protocol/FileAvailabilityRequestMessage.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "protocol/FileRequestEndMessage.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "protocol/PeerChainMessage.hpp"

namespace ombrelia {

using datachannel::DCIceState;

namespace {

// The whole port range above the privileged ports, as the connection settings ask.
constexpr uint16_t kPortRangeBegin = 1024;
constexpr uint16_t kPortRangeEnd = 65535;

// A peer chooses the label; what of it reaches the log stays short.
constexpr size_t kMaxClientLoggedLabelBytes = 64;

const char* channelName(bool remote) { return remote ? "remoteDataChannel" : "localDataChannel"; }

std::string byteDescription(const Data& data) { return std::to_string(data.size()) + " bytes"; }

bool moduleDebugEnabled(OLogModule module) {
  return OmbreliaLogger::isEnabled(OLogLevel::debug, module);
}

// The digest every stack offers and ours checks; a description without it names nobody.
constexpr const char* kIdentityDigest = "sha-256";

std::optional<std::string> fingerprintIn(const std::string& sdp) {
  const auto parsed = datachannel::SdpParser::parse(sdp);
  if (!parsed.description) return std::nullopt;
  for (const auto& fingerprint : parsed.description->fingerprints) {
    if (fingerprint.algorithm == kIdentityDigest) return fingerprint.value;
  }
  return std::nullopt;
}

}  // namespace

std::shared_ptr<WebRTCClient> WebRTCClient::create(const std::vector<std::string>& iceServers,
                                                   std::optional<size_t> maxSockets) {
  return create(iceServers, *PeerConnectionFactory::shared(), maxSockets);
}

size_t WebRTCClient::socketsPerClient(const std::vector<std::string>& iceServers) {
  return PeerConnectionFactory::shared()->socketsFor(configuration(iceServers));
}

datachannel::DCConfiguration WebRTCClient::configuration(
    const std::vector<std::string>& iceServers) {
  // Automatic negotiation stays on: creating the channel or applying a remote offer makes the
  // framework produce the local description by itself.
  auto config = datachannel::DCLibDC::rtcConfiguration(iceServers, std::nullopt, std::nullopt, 0, 0,
                                                       false, false, false, false, kPortRangeBegin,
                                                       kPortRangeEnd, std::nullopt, std::nullopt);
  config.maxRemoteChannels = kMaxRemoteChannels;
  config.maxRemoteChannelOpens = kMaxRemoteChannelOpens;
  config.remoteChannelLabels = std::vector<std::string>{kChannelLabel};
  return config;
}

std::shared_ptr<WebRTCClient> WebRTCClient::create(const std::vector<std::string>& iceServers,
                                                   PeerConnectionFactory& factory,
                                                   std::optional<size_t> maxSockets) {
  auto config = configuration(iceServers);
  config.maxSockets = maxSockets;
  auto connection = factory.create(config);
  if (!connection) {
    // Asked for per offer the tracker relays: one line a minute says the framework refuses.
    RepeatedLog::shared().logEachAtDebug(
        "connection not created", RepeatedLog::kOtherParties,
        [] { return std::string("Could not create new RTCPeerConnection"); },
        OLogModule::webRTCClient, OLogLevel::error);
    return nullptr;
  }
  auto client = std::shared_ptr<WebRTCClient>(new WebRTCClient(std::move(connection)));
  client->registerConnectionCallbacks();
  return client;
}

WebRTCClient::WebRTCClient(std::shared_ptr<RTCPeerConnection> peerConnection)
    : peerConnection_(std::move(peerConnection)) {}

WebRTCClient::~WebRTCClient() = default;

void WebRTCClient::registerConnectionCallbacks() {
  // Each callback holds the client for its own duration only, so a delegate that drops the last
  // other reference from inside it cannot free the client under it.
  const std::weak_ptr<WebRTCClient> weak = weak_from_this();
  auto connection = this->connection();
  connection->onLocalDescription([weak](std::string sdp) {
    if (auto self = weak.lock()) self->didGenerateLocalDescription(sdp);
  });
  connection->onLocalCandidate([weak](std::string candidate, std::string mid) {
    if (auto self = weak.lock()) self->didGenerateLocalCandidate(candidate, mid);
  });
  connection->onDataChannel([weak](std::shared_ptr<RTCDataChannel> channel) {
    if (auto self = weak.lock()) self->didOpenDataChannel(std::move(channel));
  });
  connection->onStateChange([weak](DCIceState state) {
    if (auto self = weak.lock()) self->didChangeState(state);
  });
}

void WebRTCClient::registerChannelCallbacks(RTCDataChannel& channel, ChannelRole role) {
  const std::weak_ptr<WebRTCClient> weak = weak_from_this();
  channel.onMessage(
      [weak, role](std::string text) {
        if (auto self = weak.lock()) self->didReceiveText(role, text);
      },
      [weak, role](Data data) {
        if (auto self = weak.lock()) self->didReceiveBinary(role, data);
      });
  channel.onOpen([weak, role] {
    if (auto self = weak.lock()) self->didChangeChannelOpen(role, true);
  });
  channel.onClosed([weak, role] {
    if (auto self = weak.lock()) self->didChangeChannelOpen(role, false);
  });
}

std::shared_ptr<WebRTCClientDelegate> WebRTCClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void WebRTCClient::setDelegate(std::weak_ptr<WebRTCClientDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<RTCPeerConnection> WebRTCClient::connection() const {
  std::lock_guard lock(mutex_);
  return peerConnection_;
}

// Framework events.

void WebRTCClient::didGenerateLocalDescription(const std::string& sdp) {
  std::vector<DescriptionCompletion> answers;
  std::vector<DescriptionCompletion> offers;
  {
    // Stored and drained in one step, so an answer() racing with it either finds the
    // description or is in the list that gets it.
    std::lock_guard lock(mutex_);
    if (closed_) return;
    localDescription_ = sdp;
    answers.swap(sdpAnswerList_);
    offers.swap(sdpOfferList_);
  }
  const SessionDescription answer(sdp, SdpType::answer);
  for (const auto& completion : answers) completion(answer);
  const SessionDescription offer(sdp, SdpType::offer);
  for (const auto& completion : offers) completion(offer);
}

void WebRTCClient::didGenerateLocalCandidate(const std::string& candidate, const std::string& mid) {
  OmbreliaLogger::debug("candidate:" + candidate, OLogModule::candidate);
  OmbreliaLogger::debug("mid:" + mid, OLogModule::candidate);
  LocalCandidate local{candidate, mid, false};
  std::shared_ptr<WebRTCClientDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    local.afterBurst = burstSent_;
    localCandidates_.push_back(local);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->webRTCClient(*this, local);
}

void WebRTCClient::didOpenDataChannel(std::shared_ptr<RTCDataChannel> channel) {
  if (!channel) return;
  bool accepted = false;
  bool firstRefusal = false;
  {
    // The exchange runs on one channel, "P2P", opened once by one side. Any other channel the
    // peer opens would otherwise take over the sends and, closing, mark the client
    // disconnected while "P2P" is still open.
    std::lock_guard lock(mutex_);
    if (closed_) return;
    accepted = channel->label() == kChannelLabel && !localDataChannel_ && !remoteDataChannel_;
    if (accepted) remoteDataChannel_ = channel;
    if (!accepted) firstRefusal = !std::exchange(refusalLogged_, true);
  }
  if (accepted) {
    registerChannelCallbacks(*channel, ChannelRole::remote);
    return;
  }
  // Once per connection: the peer may open channels as fast as it likes.
  const std::string line = "data channel \"" +
                           channel->label().substr(0, kMaxClientLoggedLabelBytes) +
                           "\" from the peer refused: one \"P2P\" channel carries the exchange";
  if (firstRefusal) {
    OmbreliaLogger::error(line, OLogModule::webRTCClient);
  } else {
    OmbreliaLogger::debug(line, OLogModule::webRTCClient);
  }
  // The connection forgets a channel of the peer's as it is closed.
  channel->close();
}

void WebRTCClient::didChangeState(DCIceState state) {
  OmbreliaLogger::debug("State change: " + datachannel::description(state),
                        OLogModule::webRTCClient);
  std::shared_ptr<WebRTCClientDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    delegate = delegate_.lock();
  }
  if (delegate) delegate->webRTCClient(*this, state);
}

void WebRTCClient::didReceiveText(ChannelRole role, const std::string& text) {
  if (moduleDebugEnabled(OLogModule::webRTCClient)) {
    OmbreliaLogger::debug(
        std::string("text message from ") + channelName(role == ChannelRole::remote) + ": " + text,
        OLogModule::webRTCClient);
  }
  if (takeStatement(text)) return;
  auto delegate = this->delegate();
  if (delegate && !isClosed()) delegate->webRTCClient(*this, text);
}

void WebRTCClient::didReceiveBinary(ChannelRole role, const Data& data) {
  if (moduleDebugEnabled(OLogModule::webRTCClient)) {
    OmbreliaLogger::debug(std::string("binary message from ") +
                              channelName(role == ChannelRole::remote) + ": " +
                              byteDescription(data),
                          OLogModule::webRTCClient);
  }
  auto delegate = this->delegate();
  if (delegate && !isClosed()) delegate->webRTCClient(*this, data);
}

void WebRTCClient::didChangeChannelOpen(ChannelRole role, bool open) {
  if (!open) {
    channelEnded(role);
    return;
  }
  std::optional<ConnectionProofMessage> statement;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    isConnectedState_ = open;
    if (open && !openedAt_) openedAt_ = platform::MonotonicClock::now();
    if (open && proof_ && !statementSent_) {
      statementSent_ = true;
      statement = proof_->statement();
    }
  }
  if (role == ChannelRole::local) {
    OmbreliaLogger::debug("localDataChannel is open", OLogModule::webRTCClient);
  }
  // Sent as the channel opens. The channel is in use at once: only the choice among
  // connections to one viewer waits for the statements.
  if (statement) {
    if (const auto json = statement->encode(); json.ok()) sendText(*json.text);
  }
}

void WebRTCClient::channelEnded(ChannelRole role) {
  std::optional<Uuid> peer;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    isConnectedState_ = false;
    if (proof_) peer = proof_->peer();
  }
  // The one channel that carried the exchange is gone, and the connection takes no other: it can
  // exchange nothing more. It goes the way of a lost connection, so nothing stays listed that
  // cannot exchange, and the peer, should it want to go on, negotiates anew.
  OmbreliaLogger::debug(
      std::string(channelName(role == ChannelRole::remote)) + " is closed; the connection" +
          (peer ? " to peer " + peer->uuidString() : std::string()) + " ends with it",
      OLogModule::webRTCClient);
  if (auto delegate = this->delegate()) delegate->webRTCClient(*this, DCIceState::closed);
  close();
}

bool WebRTCClient::takeStatement(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (!proof_ || proof_->answered()) return false;
  }
  // Every other text reaches the peer engine unparsed: it parses each text once for its readers.
  if (text.find(ConnectionProofMessage::typeString) == std::string::npos) return false;
  const auto statement = ConnectionProofMessageReader().readJSON(text);
  if (!statement) return false;
  ConnectionProof::Outcome outcome;
  std::optional<ConnectionProof> view;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || !proof_) return true;
    outcome = proof_->take(*statement, platform::MonotonicClock::now());
    view = proof_;
  }
  if (outcome != ConnectionProof::Outcome::refused) return true;
  OmbreliaLogger::error("connection to peer " + view->peer().uuidString() +
                            " closed: the viewer at its end states it negotiated as " +
                            statement->from().uuidString() + " with " +
                            statement->to().uuidString() + ", where this side negotiated as " +
                            view->own().uuid.uuidString() + " with " + view->peer().uuidString() +
                            ": whoever passed the negotiation on is not at its end",
                        OLogModule::webRTCClient);
  // The way of a lost connection: the peer engine ends a subscription over it, and the peer
  // leaves the group, closing the client.
  if (auto delegate = this->delegate()) delegate->webRTCClient(*this, DCIceState::closed);
  close();
  return true;
}

// Negotiation.

void WebRTCClient::offer(DescriptionCompletion completion) {
  std::shared_ptr<RTCPeerConnection> connection;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    sdpOfferList_.push_back(std::move(completion));
    connection = peerConnection_;
  }
  auto channel = connection->createDataChannel(kChannelLabel);
  if (!channel) return;
  registerChannelCallbacks(*channel, ChannelRole::local);
  std::lock_guard lock(mutex_);
  if (!closed_) localDataChannel_ = std::move(channel);
}

void WebRTCClient::answer(DescriptionCompletion completion) {
  std::optional<std::string> sdp;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    isAnswerType_ = true;
    sdp = localDescription_;
    if (!sdp) sdpAnswerList_.push_back(std::move(completion));
  }
  if (sdp) completion(SessionDescription(*sdp, SdpType::answer));
}

bool WebRTCClient::setRemoteSdp(const std::string& remoteSdp,
                                const std::function<void()>& completion) {
  auto connection = this->connection();
  if (!connection) return false;
  // What follows a description (the answer, the candidate burst) answers a description applied:
  // a refused one, a repeated answer among them, must not make this side send again.
  if (!connection->setRemoteDescription(remoteSdp)) {
    OmbreliaLogger::debug("remote description refused", OLogModule::webRTCClient);
    return false;
  }
  if (auto fingerprint = fingerprintIn(remoteSdp)) {
    // Only the first accepted description is the one the handshake checks: a later text from the
    // peer cannot name another certificate for this connection.
    std::lock_guard lock(mutex_);
    if (!remoteFingerprint_) remoteFingerprint_ = std::move(fingerprint);
  }
  if (completion) completion();
  return true;
}

void WebRTCClient::setRemoteCandidate(const std::string& remoteCandidate, const std::string& mid,
                                      const std::function<void(bool)>& completion) {
  OmbreliaLogger::debug("remoteCandidate:" + remoteCandidate, OLogModule::candidate);
  auto connection = this->connection();
  if (!connection) return;
  connection->addRemoteCandidate(remoteCandidate, mid);
  bool sendOwnCandidates = false;
  {
    // Test and set in one step: two candidates applied at once still give true only once.
    std::lock_guard lock(mutex_);
    sendOwnCandidates = isAnswerType_ && !alreadyHasRemoteCandidate_;
    alreadyHasRemoteCandidate_ = true;
  }
  if (completion) completion(sendOwnCandidates);
}

// Read-outs.

bool WebRTCClient::isConnected() const {
  std::lock_guard lock(mutex_);
  return isConnectedState_;
}

bool WebRTCClient::everOpened() const {
  std::lock_guard lock(mutex_);
  return openedAt_.has_value();
}

std::optional<std::string> WebRTCClient::localDescription() const {
  std::lock_guard lock(mutex_);
  return localDescription_;
}

std::vector<std::string> WebRTCClient::localCandidate() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(localCandidates_.size());
  for (const auto& local : localCandidates_) lines.push_back(local.candidate);
  return lines;
}

std::vector<std::string> WebRTCClient::localMid() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> mids;
  mids.reserve(localCandidates_.size());
  for (const auto& local : localCandidates_) mids.push_back(local.mid);
  return mids;
}

std::vector<LocalCandidate> WebRTCClient::localCandidates() const {
  std::lock_guard lock(mutex_);
  return localCandidates_;
}

bool WebRTCClient::alreadyHasRemoteCandidate() const {
  std::lock_guard lock(mutex_);
  return alreadyHasRemoteCandidate_;
}

void WebRTCClient::bindIdentity(const ConnectionProof::Identity& own, const Uuid& peer) {
  std::lock_guard lock(mutex_);
  if (!proof_) proof_.emplace(own, peer);
}

std::optional<WebRTCClient::RemoteIdentity> WebRTCClient::remoteIdentity() const {
  std::lock_guard lock(mutex_);
  // The channel opens only over the DTLS session, so an open channel means the remote side
  // proved the certificate its description named.
  if (closed_ || !isConnectedState_ || !remoteFingerprint_ || !openedAt_ || !proof_)
    return std::nullopt;
  const auto peer = proof_->provenPeer();
  if (!peer) return std::nullopt;
  return RemoteIdentity{*remoteFingerprint_, proof_->own(), *peer, *openedAt_, *proof_->provenAt()};
}

std::vector<LocalCandidate> WebRTCClient::markBurstSent() {
  std::lock_guard lock(mutex_);
  burstSent_ = true;
  return localCandidates_;
}

bool WebRTCClient::burstSent() const {
  std::lock_guard lock(mutex_);
  return burstSent_;
}

// Sending.

std::shared_ptr<RTCDataChannel> WebRTCClient::sendingChannel() const {
  std::lock_guard lock(mutex_);
  return remoteDataChannel_ ? remoteDataChannel_ : localDataChannel_;
}

void WebRTCClient::sendText(const std::string& text) {
  auto channel = sendingChannel();
  if (!channel) return;
  if (const size_t held = channel->bufferedAmount(); held > kMaxQueuedBytesForMessages) {
    RepeatedLog::shared().log(
        "peer message dropped: the peer reads nothing", reinterpret_cast<uintptr_t>(this),
        [&] {
          return "message to the peer dropped: its connection holds " + std::to_string(held) +
                 " bytes it has not taken";
        },
        OLogModule::webRTCClient, OLogLevel::info);
    return;
  }
  if (moduleDebugEnabled(OLogModule::webRTCClient)) {
    OmbreliaLogger::debug("sendText text:" + text, OLogModule::webRTCClient);
  }
  channel->sendText(text);
}

bool WebRTCClient::sendData(const Data& data, bool isBinary) {
  auto channel = sendingChannel();
  if (!channel) return false;
  if (!isBinary && Utf8::isValid(data.view())) {
    if (moduleDebugEnabled(OLogModule::webRTCClient)) {
      OmbreliaLogger::debug("sendText text:" + data.toString(), OLogModule::webRTCClient);
    }
    return channel->sendText(data.toString());
  }
  OmbreliaLogger::debug("sendBinary data:" + byteDescription(data), OLogModule::webRTCClient);
  // Only bytes the channel took are counted as uploaded.
  const bool accepted = channel->sendBinary(data);
  if (!isBinary || !accepted) return accepted;
  if (auto delegate = this->delegate()) {
    delegate->webRTCClient(*this, static_cast<int64_t>(data.size()));
  }
  return true;
}

template <typename Message>
void WebRTCClient::sendMessage(const Message& message, const char* failureOpening) {
  const auto json = message.encode();
  if (!json.ok()) {
    OmbreliaLogger::error(std::string(failureOpening) + json.description(),
                          OLogModule::webRTCClient);
    return;
  }
  sendText(*json.text);
}

void WebRTCClient::sendFileRequestEnd(const FileRequestEndMessage& message) {
  sendMessage(message, "FileRequestEnd error converting dictionary to data: ");
}

void WebRTCClient::sendFileRequestStop(const FileRequestStopMessage& message) {
  sendMessage(message, "FileRequestStop error converting dictionary to data: ");
}

void WebRTCClient::sendFileRequestMessage(const FileRequestMessage& message) {
  sendMessage(message, "FileRequestMessage error converting dictionary to data: ");
}

void WebRTCClient::sendFileAvailbilityRequestMessage(
    const FileAvailabilityRequestMessage& message) {
  sendMessage(message, "FileAvailbilityRequest error converting dictionary to data: ");
}

void WebRTCClient::sendFileAvailbilityResponseMessage(
    const FileAvailabilityResponseMessage& message) {
  // The opening text lost its first letter long ago; log readers search for it as it is.
  sendMessage(message, "ileAvailbilityResponse error converting dictionary to data: ");
}

void WebRTCClient::sendAbonnementRequestMessage(const AbonnementRequestMessage& message) {
  sendMessage(message, "AbonnementRequest error converting dictionary to data: ");
}

void WebRTCClient::sendAbonnementResponseMessage(const AbonnementResponseMessage& message) {
  sendMessage(message, "AbonnementResponse error converting dictionary to data: ");
}

void WebRTCClient::sendPeerChainMessage(const PeerChainMessage& message) {
  sendMessage(message, "PeerChain error converting dictionary to data: ");
}

void WebRTCClient::sendFileRequestResponseMessage(const FileRequestResponseMessage& message) {
  sendMessage(message, "FileRequestResponse error converting dictionary to data: ");
}

bool WebRTCClient::sendFileChunkData(const Data& segmentChunk) {
  return sendData(segmentChunk, true);
}

bool WebRTCClient::sendSegmentFrame(const Data& frame) {
  auto channel = sendingChannel();
  return channel && channel->sendBinary(frame);
}

size_t WebRTCClient::bufferedAmount() const {
  auto channel = sendingChannel();
  return channel ? channel->bufferedAmount() : 0;
}

size_t WebRTCClient::unconfirmedAmount() const {
  auto channel = sendingChannel();
  return channel ? channel->unconfirmedAmount() : std::numeric_limits<size_t>::max();
}

std::optional<uint32_t> WebRTCClient::peerReceiveWindow() const {
  auto channel = sendingChannel();
  return channel ? channel->peerReceiveWindow() : std::nullopt;
}

void WebRTCClient::impairSctpForTesting(const datachannel::SctpImpairment& impairment) {
  if (auto connection = this->connection()) connection->impairSctpForTesting(impairment);
}

// Closing.

void WebRTCClient::onTransportsGone(std::function<void()> callback) {
  if (auto connection = this->connection()) connection->onTransportsGone(std::move(callback));
}

void WebRTCClient::close() {
  std::shared_ptr<RTCPeerConnection> connection;
  std::shared_ptr<RTCDataChannel> local;
  std::shared_ptr<RTCDataChannel> remote;
  std::vector<DescriptionCompletion> offers;
  std::vector<DescriptionCompletion> answers;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    isConnectedState_ = false;
    connection.swap(peerConnection_);
    local.swap(localDataChannel_);
    remote.swap(remoteDataChannel_);
    offers.swap(sdpOfferList_);
    answers.swap(sdpAnswerList_);
  }
  // Released here, outside the lock: dropping the connection closes it silently, and the
  // completions may hold objects whose destructors call back into this client.
}

bool WebRTCClient::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace ombrelia
