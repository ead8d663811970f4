#pragma once
// Any thread: sends and setters from anywhere; the events run on the owning connection's
// callback queue, one at a time and in order.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ombrelia/Data.hpp>
#include <optional>
#include <string>
#include <variant>

#include "datachannel/DCDataChannelInit.hpp"
#include "datachannel/DCDcEvent.hpp"

namespace ombrelia::datachannel {

class PeerConnectionCore;

// One data channel of a peer connection. Its events never run after the connection is dropped.
class DCDataChannel : public std::enable_shared_from_this<DCDataChannel> {
 public:
  using TextCallback = std::function<void(std::string)>;
  using BinaryCallback = std::function<void(Data)>;
  using EventCallback = std::function<void(DCDcEvent)>;

  // Made by the connection only.
  [[nodiscard]] static std::shared_ptr<DCDataChannel> make(std::weak_ptr<PeerConnectionCore> core,
                                                           std::string label,
                                                           DCDataChannelInit init);
  DCDataChannel(const DCDataChannel&) = delete;
  DCDataChannel& operator=(const DCDataChannel&) = delete;

  const std::string& label() const { return label_; }
  const DCDataChannelInit& options() const { return init_; }
  std::optional<uint16_t> id() const;
  bool isOpen() const;

  // Set after the channel opened, the open is told to it (once, on the callback queue).
  void onOpen(EventCallback callback);
  void onClosed(EventCallback callback);
  // Each received frame reaches exactly one of the two, by its kind. Frames that arrive before
  // the callbacks are set wait for them.
  void onMessage(TextCallback text, BinaryCallback binary);

  // False, with a log line, when the channel is not open, the message exceeds what the peer
  // accepts, or the send buffer is full. An empty message is allowed.
  bool sendText(const std::string& text);
  bool sendBinary(const Data& bytes);
  // Bytes waiting because SCTP pushes back.
  size_t bufferedAmount() const;
  // What of the bytes sent on the connection its peer has not acknowledged yet.
  size_t unconfirmedAmount() const;
  // The receive window the connection's peer last advertised, once it has.
  std::optional<uint32_t> peerReceiveWindow() const;
  // Resets the channel's stream; the close event follows when the peer has reset its side, or,
  // with a log line, when it has not within the connection's consent and failed timeouts.
  void close();

  // The connection's side, called on its threads.
  void assignId(uint16_t id);
  void deliverOpen();
  void deliverMessage(std::variant<std::string, Data> message);
  void deliverClosed();
  bool markClosing();  // true the first time

 private:
  DCDataChannel(std::weak_ptr<PeerConnectionCore> core, std::string label, DCDataChannelInit init);
  bool send(uint32_t ppid, const uint8_t* data, size_t size);
  void flushPending();
  void deliverLateOpen();

  const std::weak_ptr<PeerConnectionCore> core_;
  const std::string label_;
  const DCDataChannelInit init_;

  mutable std::mutex mutex_;  // guards everything below
  std::optional<uint16_t> id_;
  bool open_ = false;
  bool closing_ = false;
  bool closed_ = false;
  bool openTold_ = false;  // the open event reached a callback
  EventCallback openCallback_;
  EventCallback closedCallback_;
  TextCallback textCallback_;
  BinaryCallback binaryCallback_;
  std::deque<std::variant<std::string, Data>> pending_;
  size_t pendingBytes_ = 0;
};

}  // namespace ombrelia::datachannel
