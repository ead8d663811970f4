#include "datachannel/DCPeerConnection.hpp"

#include "datachannel/IceTransport.hpp"
#include "datachannel/PeerConnectionCore.hpp"

namespace ombrelia::datachannel {

std::shared_ptr<DCPeerConnection> DCPeerConnection::create(const DCConfiguration& config) {
  auto core = PeerConnectionCore::create(config);
  if (!core) return nullptr;
  return std::shared_ptr<DCPeerConnection>(new DCPeerConnection(std::move(core)));
}

DCPeerConnection::DCPeerConnection(std::shared_ptr<PeerConnectionCore> core)
    : core_(std::move(core)) {}

DCPeerConnection::~DCPeerConnection() { core_->close(true); }

void DCPeerConnection::onLocalDescription(std::function<void(std::string)> callback) {
  core_->setDescriptionCallback(std::move(callback));
}

void DCPeerConnection::onLocalCandidate(std::function<void(std::string, std::string)> callback) {
  core_->setCandidateCallback(std::move(callback));
}

void DCPeerConnection::onStateChange(std::function<void(DCIceState)> callback) {
  core_->setStateCallback(std::move(callback));
}

void DCPeerConnection::onDataChannel(std::function<void(std::shared_ptr<DCDataChannel>)> callback) {
  core_->setChannelCallback(std::move(callback));
}

void DCPeerConnection::onTransportsGone(std::function<void()> callback) {
  core_->setTransportsGoneCallback(std::move(callback));
}

std::shared_ptr<DCDataChannel> DCPeerConnection::createDataChannel(
    const std::string& label, std::optional<DCDataChannelInit> init) {
  return core_->createDataChannel(label, init.value_or(DCDataChannelInit{}));
}

void DCPeerConnection::setLocalDescription() { core_->setLocalDescription(); }

bool DCPeerConnection::setRemoteDescription(const std::string& sdp) {
  return core_->setRemoteDescription(sdp);
}

bool DCPeerConnection::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
  return core_->addRemoteCandidate(candidate, mid);
}

size_t DCPeerConnection::socketsFor(const DCConfiguration& config) {
  return IceTransport::socketsFor(
      IceTransport::localAddresses(config.bindAddress, config.maxSockets).size());
}

DCIceState DCPeerConnection::state() const { return core_->state(); }

std::optional<std::string> DCPeerConnection::localDescription() const {
  return core_->localDescription();
}

void DCPeerConnection::close() { core_->close(false); }

void DCPeerConnection::abandonForTesting() { core_->abandon(); }

void DCPeerConnection::loseSctpPacketsForTesting(unsigned every) {
  SctpImpairment impairment;
  impairment.loseEvery = every;
  core_->impairSctp(impairment);
}

void DCPeerConnection::impairSctpForTesting(const SctpImpairment& impairment) {
  core_->impairSctp(impairment);
}

bool DCPeerConnection::sendRawForTesting(uint16_t stream, uint32_t ppid,
                                         const std::vector<uint8_t>& bytes) {
  return core_->sendRawForTesting(stream, ppid, bytes);
}

std::optional<size_t> DCPeerConnection::remoteCandidatesForTesting() const {
  return core_->remoteCandidatesHeld();
}

std::optional<SctpStatus> DCPeerConnection::sctpStatusForTesting() const {
  return core_->sctpStatus();
}

}  // namespace ombrelia::datachannel
