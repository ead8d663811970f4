#pragma once
// Any thread for the public operations; the transports run on the GlibLoop thread; user
// callbacks run one at a time, in order, on the connection's own callback queue.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "datachannel/Certificate.hpp"
#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCDataChannel.hpp"
#include "datachannel/DCDataChannelInit.hpp"
#include "datachannel/DCIceState.hpp"
#include "datachannel/DtlsTransport.hpp"
#include "datachannel/IceTransport.hpp"
#include "datachannel/SctpImpairer.hpp"
#include "datachannel/SctpImpairment.hpp"
#include "datachannel/SctpTransport.hpp"
#include "datachannel/SdpDescription.hpp"
#include "platform/DispatchQueue.hpp"

namespace ombrelia::datachannel {

// The machinery behind one DCPeerConnection: negotiation, ICE, DTLS and the callback queue. It
// outlives its DCPeerConnection until its transports are torn down on the loop thread.
class PeerConnectionCore : public std::enable_shared_from_this<PeerConnectionCore> {
 public:
  using DescriptionCallback = std::function<void(std::string)>;
  using CandidateCallback = std::function<void(std::string, std::string)>;
  using StateCallback = std::function<void(DCIceState)>;
  using ChannelCallback = std::function<void(std::shared_ptr<DCDataChannel>)>;

  [[nodiscard]] static std::shared_ptr<PeerConnectionCore> create(const DCConfiguration& config);
  ~PeerConnectionCore();
  PeerConnectionCore(const PeerConnectionCore&) = delete;
  PeerConnectionCore& operator=(const PeerConnectionCore&) = delete;

  void setDescriptionCallback(DescriptionCallback callback);
  void setCandidateCallback(CandidateCallback callback);
  void setStateCallback(StateCallback callback);
  void setChannelCallback(ChannelCallback callback);
  // Runs once, on the loop thread, when the transports are gone: the connection closed and its
  // ICE agent finalised, every socket closed. Not silenced by a silent close, and it may come
  // after the core itself is gone; set after that moment, it runs at once.
  void setTransportsGoneCallback(std::function<void()> callback);

  std::shared_ptr<DCDataChannel> createDataChannel(std::string label, DCDataChannelInit init);
  // The channel side of sending and closing.
  bool sendChannelMessage(uint16_t stream, uint32_t ppid, const uint8_t* data, size_t size,
                          const DCDataChannelInit& init);
  void closeChannel(const std::shared_ptr<DCDataChannel>& channel);
  size_t bufferedAmount() const;
  // Bytes sent on the connection that the peer has not acknowledged (see SctpTransport); the
  // most a size_t holds without a transport.
  size_t unconfirmedAmount() const;
  // The receive window the peer last advertised (see SctpTransport); none without a transport
  // or before its first acknowledgement.
  std::optional<uint32_t> peerReceiveWindow() const;
  std::optional<SctpStatus> sctpStatus() const;

  void setLocalDescription();
  bool setRemoteDescription(const std::string& sdp);
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid);
  DCIceState state() const;
  std::optional<std::string> localDescription() const;
  // Silently: no callback runs any more, not even the closed state (the owner is going away).
  void close(bool silently);
  // Stops the ICE agent without telling the peer; the state is left as it is.
  void abandon();
  // Loses, delays and reorders the outgoing SCTP packets from now on.
  void impairSctp(const SctpImpairment& impairment);
  bool sendRawForTesting(uint16_t stream, uint32_t ppid, const std::vector<uint8_t>& bytes);
  // Asked of the agent on the loop, after every block queued there before; waits a while.
  std::optional<size_t> remoteCandidatesHeld() const;

  const DCConfiguration& config() const { return config_; }
  // Runs a block on the callback queue unless the connection has been silenced.
  void postCallback(std::function<void()> block);

 private:
  enum class Phase { idle, localOffer, remoteOffer, complete };

  explicit PeerConnectionCore(const DCConfiguration& config);

  // Loop thread.
  bool ensureIce(bool controlling);
  void makeLocalDescription(SdpType type);
  void applyRemoteDescription(SdpDescription remote, bool isOffer);
  void applyRemoteCandidate(const SdpCandidate& candidate);
  void onLocalCandidate(const SdpCandidate& candidate);
  void onIceState(IceTransport::State state);
  void onLearnedCandidate();
  void onIcePacket(const uint8_t* data, size_t size);
  void startDtls();
  void onDtlsConnected();
  void onTick();
  // Ends, with a log line, the channels closed from this side whose close the peer has not
  // answered within the bound.
  void endUnansweredCloses(std::chrono::steady_clock::time_point now);
  void startSctp();
  void closeAllChannels();
  // Closes the ICE agent, if any, and reports the transports gone once it is finalised.
  void releaseIce();

  // SCTP callbacks: usrsctp's threads or inside handlePacket; never tear down inline.
  void onSctpConnected();
  void onSctpMessage(uint16_t stream, uint32_t ppid, std::vector<uint8_t> message);
  void onSctpStreamsReset(const std::vector<uint16_t>& streams);
  void onControlMessage(uint16_t stream, const std::vector<uint8_t>& message);
  // Refuses the peer's open on `stream` by resetting it; nothing of the open is kept.
  void refuseOpen(uint16_t stream, const std::string& why);
  // Ends the connection, once, for a peer that opened past maxRemoteChannelOpens.
  void endForOpens();
  // False, after ending the connection, when the message would pass the receive bounds.
  bool admitReceived(size_t bytes);
  void sendOpen(const std::shared_ptr<DCDataChannel>& channel);
  std::shared_ptr<SctpTransport> sctp() const;
  void fail(const std::string& reason);
  void teardown();
  // Logs, once per connection, that remote candidates past the bound were dropped.
  void reportCandidateOverflow();

  // Any thread.
  void changeState(DCIceState state);
  void log(const std::string& message) const;

  const DCConfiguration config_;
  // Read once, as the connection is made: what its owner counted its descriptors by.
  const std::vector<std::string> localAddresses_;
  const std::shared_ptr<Certificate> certificate_;
  const std::shared_ptr<platform::DispatchQueue> callbackQueue_;
  struct TransportsGone;
  // Shared with the agent's release, which may outlive the core.
  const std::shared_ptr<TransportsGone> transportsGone_;
  std::atomic<bool> silenced_{false};
  // Received messages handed to the callback queue and not yet delivered.
  std::atomic<size_t> receivedWaitingBytes_{0};
  std::atomic<size_t> receivedWaitingMessages_{0};
  std::atomic<bool> receiveOverflowed_{false};
  std::atomic<bool> candidateOverflowReported_{false};
  std::atomic<size_t> refusedOpens_{0};      // channel opens of the peer refused so far
  std::atomic<bool> opensExhausted_{false};  // the peer opened past maxRemoteChannelOpens
  // Set by tests only; the flag spares the send path the lock on an unimpaired connection.
  std::atomic<bool> impaired_{false};
  mutable std::mutex impairerMutex_;  // guards impairer_
  std::shared_ptr<SctpImpairer> impairer_;

  mutable std::mutex mutex_;  // guards the callbacks and the fields down to localSdpText_
  DescriptionCallback descriptionCallback_;
  CandidateCallback candidateCallback_;
  StateCallback stateCallback_;
  ChannelCallback channelCallback_;
  DCIceState state_ = DCIceState::newState;
  Phase phase_ = Phase::idle;
  bool localMade_ = false;
  bool closeRequested_ = false;
  std::optional<std::string> localSdpText_;
  // Remote candidates taken so far, from the description and trickled.
  size_t remoteCandidates_ = 0;
  bool remoteGatheringEnded_ = false;

  // Loop thread only.
  std::shared_ptr<IceTransport> ice_;
  size_t learnedCandidates_ = 0;  // remote candidates the agent learned from checks
  std::optional<SdpDescription> local_;
  std::optional<SdpDescription> remote_;
  std::vector<SdpCandidate> pendingCandidates_;
  bool pendingGatheringDone_ = false;
  std::deque<std::vector<uint8_t>> earlyPackets_;
  bool localEmitted_ = false;
  bool dtlsClient_ = false;
  unsigned tickSource_ = 0;
  std::chrono::steady_clock::time_point connectingSince_;
  std::chrono::steady_clock::time_point disconnectedSince_;
  std::atomic<bool> tornDown_{false};
  std::chrono::steady_clock::time_point lastReceived_;
  bool inputWaiting_ = false;  // more datagrams wait behind the one being handled

  mutable std::mutex transportMutex_;  // guards the two transports for threads other than the loop
  std::shared_ptr<DtlsTransport> dtls_;
  std::shared_ptr<SctpTransport> sctp_;
  std::atomic<size_t> remoteMaxMessageSize_{0};

  mutable std::mutex channelsMutex_;  // guards the channel bookkeeping below
  std::map<uint16_t, std::shared_ptr<DCDataChannel>> channels_;
  std::vector<std::shared_ptr<DCDataChannel>> unassignedChannels_;
  // Streams of channels closed from this side, until the peer resets its side too.
  std::map<uint16_t, std::chrono::steady_clock::time_point> closingSince_;
  bool sctpConnected_ = false;
  size_t remoteOpensTaken_ = 0;  // channels of the peer's taken over the connection's life
  uint16_t nextStreamId_ = 0;
  // Parity of the streams this side opens channels on (by DTLS role); the peer has the other.
  uint16_t localParity_ = 0;
};

}  // namespace ombrelia::datachannel
