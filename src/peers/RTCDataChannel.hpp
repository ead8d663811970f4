#pragma once
// Any thread: sends from anywhere; the events run on the framework's callback threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

// The part of a framework data channel that the WebRTC client uses. It lets the client run over
// the data-channel framework in the library and over a scripted one in tests.
class RTCDataChannel {
 public:
  virtual ~RTCDataChannel() = default;

  // Each received frame reaches exactly one of the two, by its kind.
  virtual void onMessage(std::function<void(std::string)> text,
                         std::function<void(Data)> binary) = 0;
  virtual void onOpen(std::function<void()> callback) = 0;
  virtual void onClosed(std::function<void()> callback) = 0;

  virtual std::string label() const = 0;
  // Ends the channel; its close event follows.
  virtual void close() = 0;

  // False when the frame could not be handed to the channel.
  virtual bool sendText(const std::string& text) = 0;
  virtual bool sendBinary(const Data& bytes) = 0;
  // Bytes the connection holds that have not yet left for the network because the transport
  // pushes back: what a sender paces itself by. Zero for a channel that never holds any.
  virtual size_t bufferedAmount() const { return 0; }
  // Bytes sent that the peer has not acknowledged yet, those held back included: what has
  // reached the peer is what was sent less this. A channel without acknowledgements of its own
  // counts what it holds back.
  virtual size_t unconfirmedAmount() const { return bufferedAmount(); }
  // The receive window the peer last advertised, for a channel whose transport tells it.
  virtual std::optional<uint32_t> peerReceiveWindow() const { return std::nullopt; }
};

}  // namespace ombrelia
