#pragma once
// Any thread: negotiation on the signalling queue, sends on the peer engine's threads, framework
// events on its callback threads. One lock guards the client's state; it is never held while
// the framework, a completion or the delegate is called.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Data.hpp>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCIceState.hpp"
#include "datachannel/SctpImpairment.hpp"
#include "peers/ConnectionProof.hpp"
#include "peers/LocalCandidate.hpp"
#include "peers/SessionDescription.hpp"
#include "platform/MonotonicClock.hpp"

namespace ombrelia {

class AbonnementRequestMessage;
class AbonnementResponseMessage;
class FileAvailabilityRequestMessage;
class FileAvailabilityResponseMessage;
class FileRequestEndMessage;
class FileRequestMessage;
class FileRequestResponseMessage;
class FileRequestStopMessage;
class PeerChainMessage;
class PeerConnectionFactory;
class RTCDataChannel;
class RTCPeerConnection;
class WebRTCClientDelegate;

// One peer connection to one remote peer and its data channel "P2P": keeps the local
// description and candidates until the negotiation sends them, applies the remote ones, sends
// the peer protocol's messages as text and segment chunks as binary frames, and hands what it
// receives to its delegate. Clients are equal only when they are the same object.
class WebRTCClient : public std::enable_shared_from_this<WebRTCClient> {
 public:
  using DescriptionCompletion = std::function<void(const SessionDescription&)>;

  // Label of the one channel that carries the peer protocol.
  static constexpr const char* kChannelLabel = "P2P";
  // Channels the peer may hold at once on the connection, and the connection refuses any other
  // label as it arrives, keeping nothing of it. The exchange uses one channel, opened by the
  // offering side; one more lets a second "P2P" reach the client, which refuses it at once. So a
  // peer holds no more than two labels of three bytes and two protocols (65,535 bytes at most
  // each) on a connection, whatever it opens.
  static constexpr size_t kMaxRemoteChannels = 2;
  // Channels the peer may open over the connection's life, refused "P2P"s among them, past which
  // the connection ends. Each is answered, and the answers wait in the send queue while the
  // peer's window is shut, so the bound must be finite; each answer is a few bytes, so it need
  // not be tight. The exchange needs one, and a peer whose stack opens a few dozen more beside it
  // (refused at once) keeps its connection.
  static constexpr size_t kMaxRemoteChannelOpens = 64;
  // Bytes the connection may hold back (waiting for the peer's window) beyond which no message
  // of the peer protocol is queued: it is dropped instead. Every message here answers or asks
  // something, and a peer that reads nothing would have its answers pile up to the connection's
  // whole bound (16 MiB) without this. A peer that reads is never near it: the uploader keeps
  // some 0.27 MB of frames queued at most, and a message is a few hundred bytes. An ask that
  // goes unanswered this way is one the asker's own supervision ends.
  static constexpr size_t kMaxQueuedBytesForMessages = 512 * 1024;

  // A client whose connection comes from the shared peer-connection factory; none, with an
  // error line, when the framework refuses to make the connection. Its connection holds no more
  // than `maxSockets` descriptors, when given.
  [[nodiscard]] static std::shared_ptr<WebRTCClient> create(
      const std::vector<std::string>& iceServers, std::optional<size_t> maxSockets = std::nullopt);
  [[nodiscard]] static std::shared_ptr<WebRTCClient> create(
      const std::vector<std::string>& iceServers, PeerConnectionFactory& factory,
      std::optional<size_t> maxSockets = std::nullopt);
  // Descriptors the connection of a client made now from the shared factory would hold at most.
  static size_t socketsPerClient(const std::vector<std::string>& iceServers);
  ~WebRTCClient();
  WebRTCClient(const WebRTCClient&) = delete;
  WebRTCClient& operator=(const WebRTCClient&) = delete;

  std::shared_ptr<WebRTCClientDelegate> delegate() const;
  // Held weakly.
  void setDelegate(std::weak_ptr<WebRTCClientDelegate> delegate);

  // Creates the channel "P2P"; the framework then makes the offer, which completes every
  // queued offer completion.
  void offer(DescriptionCompletion completion);
  // Marks the answering side; completes at once with the local description typed answer, or
  // when the framework produces it.
  void answer(DescriptionCompletion completion);
  // Applies a remote offer or answer, then runs the completion on the calling thread. A text
  // the framework refuses (unreadable, or for a connection negotiated already) runs nothing:
  // false.
  bool setRemoteSdp(const std::string& remoteSdp, const std::function<void()>& completion);
  // Applies a remote candidate, then runs the completion with true only for the answering side's
  // first remote candidate: the moment its own candidates are to be sent.
  void setRemoteCandidate(const std::string& remoteCandidate, const std::string& mid,
                          const std::function<void(bool)>& completion);

  // True between a channel's open event and a channel's close event.
  bool isConnected() const;
  // Whether a channel has ever opened on this connection.
  bool everOpened() const;
  std::optional<std::string> localDescription() const;
  std::vector<std::string> localCandidate() const;
  std::vector<std::string> localMid() const;
  // Both lists as one unit, in gathering order.
  std::vector<LocalCandidate> localCandidates() const;
  bool alreadyHasRemoteCandidate() const;

  // Binds the connection to the identifiers it is negotiated under (ConnectionProof): this side
  // states them once its channel opens and holds the other side's statement against them. The
  // peer list binds a client once, before the negotiation starts; a client never bound states
  // nothing and is never proven.
  void bindIdentity(const ConnectionProof::Identity& own, const Uuid& peer);

  // Who is at the other end, as the connection proves it: the SHA-256 fingerprint of the
  // certificate the remote side presented in its DTLS handshake (the handshake fails unless the
  // certificate matches the remote description), both ends as the connection was negotiated
  // (the other as it stated itself, in agreement with what this side filed), when the channel
  // first opened and when the other side's statement was taken.
  struct RemoteIdentity {
    std::string fingerprint;
    ConnectionProof::Identity own;
    ConnectionProof::Identity peer;
    platform::MonotonicClock::time_point openedAt;
    platform::MonotonicClock::time_point provenAt;
  };
  // None unless the channel is open, the remote description named a SHA-256 fingerprint and the
  // other side's statement agreed with this side's view.
  std::optional<RemoteIdentity> remoteIdentity() const;

  // Takes the candidates collected so far for the one burst and marks the burst sent, in one
  // step with respect to gathering: every later candidate reaches the delegate marked afterBurst,
  // so none is lost or sent twice.
  std::vector<LocalCandidate> markBurstSent();
  bool burstSent() const;

  // Sends on the channel the remote side opened if there is one, else on this side's own, else
  // drops the bytes. Text that is not UTF-8 goes out as a binary frame, unreported.
  // True when the channel took the bytes.
  bool sendData(const Data& data, bool isBinary);
  void sendFileRequestEnd(const FileRequestEndMessage& message);
  void sendFileRequestStop(const FileRequestStopMessage& message);
  void sendFileRequestMessage(const FileRequestMessage& message);
  void sendFileAvailbilityRequestMessage(const FileAvailabilityRequestMessage& message);
  void sendFileAvailbilityResponseMessage(const FileAvailabilityResponseMessage& message);
  void sendAbonnementRequestMessage(const AbonnementRequestMessage& message);
  void sendAbonnementResponseMessage(const AbonnementResponseMessage& message);
  void sendPeerChainMessage(const PeerChainMessage& message);
  void sendFileRequestResponseMessage(const FileRequestResponseMessage& message);
  // One segment frame, always binary, reported to the delegate with its size only when the
  // channel took it; false when it was refused (send buffer full, channel gone).
  bool sendFileChunkData(const Data& segmentChunk);
  // One segment frame, always binary and not reported: the uploader reports its bytes itself
  // once they have left the connection's queue. False when the channel refused it.
  bool sendSegmentFrame(const Data& frame);
  // Bytes the connection holds back for the network (0 without a channel).
  size_t bufferedAmount() const;
  // Bytes sent that the peer has not acknowledged yet; without a channel, or once its connection
  // has ended, the most a size_t holds: nothing more is known to have reached the peer.
  size_t unconfirmedAmount() const;
  // The receive window the peer last advertised; none without a channel, or before the peer's
  // first acknowledgement.
  std::optional<uint32_t> peerReceiveWindow() const;

  // Runs once, on any thread, when the connection's sockets are all closed: some time after
  // close() or after the last holder let the client go, as the framework takes its transports
  // down. Set it before the client is closed.
  void onTransportsGone(std::function<void()> callback);

  // Ends the connection at once, whoever still holds the client: queued offer and answer
  // completions are dropped uncalled, no event reaches the delegate any more, and every later
  // operation does nothing. Safe from inside the client's own callbacks.
  void close();
  bool isClosed() const;

  // Tests only (a seam): impairs what this side's SCTP sends from now on.
  void impairSctpForTesting(const datachannel::SctpImpairment& impairment);

 private:
  enum class ChannelRole { local, remote };

  explicit WebRTCClient(std::shared_ptr<RTCPeerConnection> peerConnection);
  static datachannel::DCConfiguration configuration(const std::vector<std::string>& iceServers);
  void registerConnectionCallbacks();
  void registerChannelCallbacks(RTCDataChannel& channel, ChannelRole role);

  void didGenerateLocalDescription(const std::string& sdp);
  void didGenerateLocalCandidate(const std::string& candidate, const std::string& mid);
  void didOpenDataChannel(std::shared_ptr<RTCDataChannel> channel);
  void didChangeState(datachannel::DCIceState state);
  void didReceiveText(ChannelRole role, const std::string& text);
  void didReceiveBinary(ChannelRole role, const Data& data);
  void didChangeChannelOpen(ChannelRole role, bool open);
  // The channel in use closed: the connection ends, reported to the delegate as closed.
  void channelEnded(ChannelRole role);
  // True when the text was the other side's statement this side waits for, which goes no
  // further; a statement that disagrees closes the connection.
  bool takeStatement(const std::string& text);

  std::shared_ptr<RTCPeerConnection> connection() const;
  std::shared_ptr<RTCDataChannel> sendingChannel() const;
  void sendText(const std::string& text);
  template <typename Message>
  void sendMessage(const Message& message, const char* failureOpening);

  mutable std::mutex mutex_;  // guards every field below
  std::weak_ptr<WebRTCClientDelegate> delegate_;
  std::shared_ptr<RTCPeerConnection> peerConnection_;
  std::optional<std::string> localDescription_;
  std::vector<LocalCandidate> localCandidates_;
  bool burstSent_ = false;
  bool isAnswerType_ = false;
  std::vector<DescriptionCompletion> sdpOfferList_;
  std::vector<DescriptionCompletion> sdpAnswerList_;
  std::shared_ptr<RTCDataChannel> localDataChannel_;
  std::shared_ptr<RTCDataChannel> remoteDataChannel_;
  bool isConnectedState_ = false;
  bool alreadyHasRemoteCandidate_ = false;
  bool closed_ = false;
  // From the one remote description the connection accepted.
  std::optional<std::string> remoteFingerprint_;
  std::optional<platform::MonotonicClock::time_point> openedAt_;
  std::optional<ConnectionProof> proof_;
  bool statementSent_ = false;
  bool refusalLogged_ = false;  // a channel of the peer was refused and said so
};

}  // namespace ombrelia
