#pragma once
// Any thread: operations from anywhere; callbacks run on the framework's callback threads, and
// the connection may be dropped from inside any of them.

#include <functional>
#include <memory>
#include <string>

#include "datachannel/DCIceState.hpp"
#include "datachannel/SctpImpairment.hpp"
#include "peers/RTCDataChannel.hpp"

namespace ombrelia {

// The part of a framework peer connection that the WebRTC client uses. Dropping the last
// reference closes the connection without any further callback.
class RTCPeerConnection {
 public:
  virtual ~RTCPeerConnection() = default;

  virtual void onLocalDescription(std::function<void(std::string sdp)> callback) = 0;
  virtual void onLocalCandidate(
      std::function<void(std::string candidate, std::string mid)> callback) = 0;
  // A channel the remote side opened.
  virtual void onDataChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) = 0;
  virtual void onStateChange(std::function<void(datachannel::DCIceState)> callback) = 0;
  // Once the connection has ended and every socket it held is closed, on any thread; unlike the
  // others, it still runs after the connection is dropped.
  virtual void onTransportsGone(std::function<void()> callback) = 0;

  // A reliable, ordered channel; with automatic negotiation the first one starts the offer.
  // None once the connection is closed.
  virtual std::shared_ptr<RTCDataChannel> createDataChannel(const std::string& label) = 0;
  // False when the framework refuses the text, or the session is negotiated already.
  virtual bool setRemoteDescription(const std::string& sdp) = 0;
  virtual bool addRemoteCandidate(const std::string& candidate, const std::string& mid) = 0;
  // Tests only: impairs what this side's SCTP sends from now on (a shut receive window, loss).
  // Nothing for a framework without one.
  virtual void impairSctpForTesting(const datachannel::SctpImpairment&) {}
};

}  // namespace ombrelia
