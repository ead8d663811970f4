#pragma once
// Any thread: every operation may be called from any thread; callbacks run one at a time, in
// order, on the connection's own callback queue, and the connection may be dropped from inside
// any of them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datachannel/DCConfiguration.hpp"
#include "datachannel/DCDataChannel.hpp"
#include "datachannel/DCDataChannelInit.hpp"
#include "datachannel/DCIceState.hpp"
#include "datachannel/SctpImpairment.hpp"
#include "datachannel/SctpStatus.hpp"

namespace ombrelia::datachannel {

class PeerConnectionCore;

// One WebRTC peer connection carrying data channels. Dropping the last reference closes it
// without any further callback.
class DCPeerConnection {
 public:
  // None when the connection's certificate cannot be made.
  [[nodiscard]] static std::shared_ptr<DCPeerConnection> create(const DCConfiguration& config);
  ~DCPeerConnection();
  DCPeerConnection(const DCPeerConnection&) = delete;
  DCPeerConnection& operator=(const DCPeerConnection&) = delete;

  // The SDP text of the local offer or answer, once.
  void onLocalDescription(std::function<void(std::string sdp)> callback);
  // Each gathered local candidate as "candidate:..." (no "a=") with the section's mid.
  void onLocalCandidate(std::function<void(std::string candidate, std::string mid)> callback);
  void onStateChange(std::function<void(DCIceState state)> callback);
  // A channel the remote side opened; its open event follows once this callback has returned.
  void onDataChannel(std::function<void(std::shared_ptr<DCDataChannel> channel)> callback);
  // Once the connection has ended (closed, failed or dropped) and its ICE agent is finalised,
  // every socket it held closed: the one callback that still runs after the connection is
  // dropped. It runs on the framework's loop thread, or at once when that moment has passed.
  void onTransportsGone(std::function<void()> callback);

  // A new channel, reliable and ordered without options. With automatic negotiation on, the
  // first one starts the offer. None once the connection is closed.
  std::shared_ptr<DCDataChannel> createDataChannel(const std::string& label,
                                                   std::optional<DCDataChannelInit> init = {});

  // Makes the local offer, or the answer to an applied remote offer. Needed only with automatic
  // negotiation off.
  void setLocalDescription();
  // The type is inferred: an answer when a local offer is pending, else an offer, which makes
  // the connection answer. False when the text is refused or the session is already negotiated.
  bool setRemoteDescription(const std::string& sdp);
  // With or without "a="; an empty line or "end-of-candidates" ends the remote candidates.
  bool addRemoteCandidate(const std::string& candidate, const std::string& mid);

  // Descriptors a connection made now with `config` would hold at most, from its creation until
  // its transports are gone: one socket per local address it gathers on, and one more.
  static size_t socketsFor(const DCConfiguration& config);

  DCIceState state() const;
  std::optional<std::string> localDescription() const;
  // Ends the connection; the closed state is still reported.
  void close();

  // Test seam: stops this side's ICE agent as a crashed process would, sending nothing.
  void abandonForTesting();
  // Test seam: from now on every `every`-th SCTP packet this side sends is lost, as on a lossy
  // path (0 loses none).
  void loseSctpPacketsForTesting(unsigned every);
  // Test seam: from now on the SCTP packets this side sends are lost, delayed and reordered as
  // `impairment` says, replacing any impairment set before.
  void impairSctpForTesting(const SctpImpairment& impairment);
  // Test seam: sends raw bytes with that payload identifier on any stream, channel or not, as
  // a peer that does not follow the channel protocol would. False when SCTP is not up.
  bool sendRawForTesting(uint16_t stream, uint32_t ppid, const std::vector<uint8_t>& bytes);
  // Test seam: the SCTP association as it is now, to explain a transfer that stalls. None
  // before SCTP is up and once the connection is closed.
  std::optional<SctpStatus> sctpStatusForTesting() const;
  // Test seam: the remote candidates the ICE agent holds once what was handed to the connection
  // so far has reached it; none when the agent is not up or the loop does not answer in time.
  std::optional<size_t> remoteCandidatesForTesting() const;

 private:
  explicit DCPeerConnection(std::shared_ptr<PeerConnectionCore> core);
  std::shared_ptr<PeerConnectionCore> core_;
};

}  // namespace ombrelia::datachannel
