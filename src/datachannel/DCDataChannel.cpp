#include "datachannel/DCDataChannel.hpp"

#include <limits>

#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/DcepMessage.hpp"
#include "datachannel/PeerConnectionCore.hpp"
#include "foundation/RepeatedLog.hpp"

namespace ombrelia::datachannel {
namespace {

// Frames that arrive before onMessage is set are held up to this much; a caller that never sets
// it must not make the connection hoard a peer's data.
constexpr size_t kMaxPendingBytes = 16 * 1024 * 1024;

size_t sizeOf(const std::variant<std::string, Data>& message) {
  return std::visit([](const auto& m) { return static_cast<size_t>(m.size()); }, message);
}

}  // namespace

std::shared_ptr<DCDataChannel> DCDataChannel::make(std::weak_ptr<PeerConnectionCore> core,
                                                   std::string label, DCDataChannelInit init) {
  return std::shared_ptr<DCDataChannel>(
      new DCDataChannel(std::move(core), std::move(label), std::move(init)));
}

DCDataChannel::DCDataChannel(std::weak_ptr<PeerConnectionCore> core, std::string label,
                             DCDataChannelInit init)
    : core_(std::move(core)), label_(std::move(label)), init_(std::move(init)) {}

std::optional<uint16_t> DCDataChannel::id() const {
  std::lock_guard lock(mutex_);
  return id_;
}

bool DCDataChannel::isOpen() const {
  std::lock_guard lock(mutex_);
  return open_ && !closed_;
}

void DCDataChannel::onOpen(EventCallback callback) {
  bool late = false;
  {
    std::lock_guard lock(mutex_);
    openCallback_ = std::move(callback);
    late = open_ && !closed_ && !openTold_ && openCallback_;
  }
  // A channel made on a connection already up opens one round trip later, which a caller that
  // sets its callbacks just after making it can miss when its thread waits for a core: the
  // open is told to it then, on the callback queue, as held frames are.
  if (late) {
    if (auto core = core_.lock()) {
      core->postCallback([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deliverLateOpen();
      });
    }
  }
}

void DCDataChannel::onClosed(EventCallback callback) {
  std::lock_guard lock(mutex_);
  closedCallback_ = std::move(callback);
}

void DCDataChannel::onMessage(TextCallback text, BinaryCallback binary) {
  bool flush = false;
  {
    std::lock_guard lock(mutex_);
    textCallback_ = std::move(text);
    binaryCallback_ = std::move(binary);
    flush = !pending_.empty();
  }
  // Held frames are delivered on the callback queue, behind the events already queued there.
  if (flush) {
    if (auto core = core_.lock()) {
      core->postCallback([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->flushPending();
      });
    }
  }
}

bool DCDataChannel::sendText(const std::string& text) {
  if (text.empty()) {
    const uint8_t zero = 0;  // an empty message travels as one byte under its own identifier
    return send(DcepMessage::kPpidStringEmpty, &zero, 1);
  }
  return send(DcepMessage::kPpidString, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool DCDataChannel::sendBinary(const Data& bytes) {
  if (bytes.empty()) {
    const uint8_t zero = 0;
    return send(DcepMessage::kPpidBinaryEmpty, &zero, 1);
  }
  return send(DcepMessage::kPpidBinary, bytes.bytes(), bytes.size());
}

bool DCDataChannel::send(uint32_t ppid, const uint8_t* data, size_t size) {
  uint16_t stream = 0;
  {
    std::lock_guard lock(mutex_);
    if (!open_ || closing_ || closed_ || !id_) {
      // The engine may answer a peer's asks after its channel closed, as many as it sent.
      RepeatedLog::shared().log(
          "datachannel send on a channel not open", reinterpret_cast<uintptr_t>(this),
          [&] { return "datachannel: message not sent: channel \"" + label_ + "\" is not open"; },
          OLogModule::webRTCClient);
      return false;
    }
    stream = *id_;
  }
  const auto core = core_.lock();
  return core && core->sendChannelMessage(stream, ppid, data, size, init_);
}

size_t DCDataChannel::unconfirmedAmount() const {
  const auto core = core_.lock();
  return core ? core->unconfirmedAmount() : std::numeric_limits<size_t>::max();
}

std::optional<uint32_t> DCDataChannel::peerReceiveWindow() const {
  const auto core = core_.lock();
  return core ? core->peerReceiveWindow() : std::nullopt;
}

size_t DCDataChannel::bufferedAmount() const {
  const auto core = core_.lock();
  return core ? core->bufferedAmount() : 0;
}

void DCDataChannel::close() {
  if (auto core = core_.lock()) core->closeChannel(shared_from_this());
}

void DCDataChannel::assignId(uint16_t id) {
  std::lock_guard lock(mutex_);
  id_ = id;
}

bool DCDataChannel::markClosing() {
  std::lock_guard lock(mutex_);
  if (closing_ || closed_) return false;
  closing_ = true;
  return true;
}

void DCDataChannel::deliverOpen() {
  EventCallback callback;
  {
    std::lock_guard lock(mutex_);
    if (open_ || closed_) return;
    open_ = true;
    callback = openCallback_;
    openTold_ = static_cast<bool>(callback);
  }
  if (callback) callback(DCDcEvent{});
}

void DCDataChannel::deliverLateOpen() {
  EventCallback callback;
  {
    std::lock_guard lock(mutex_);
    if (!open_ || closed_ || openTold_ || !openCallback_) return;
    openTold_ = true;
    callback = openCallback_;
  }
  callback(DCDcEvent{});
}

void DCDataChannel::deliverMessage(std::variant<std::string, Data> message) {
  TextCallback text;
  BinaryCallback binary;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    const bool haveCallback = std::holds_alternative<std::string>(message)
                                  ? static_cast<bool>(textCallback_)
                                  : static_cast<bool>(binaryCallback_);
    if (!haveCallback || !pending_.empty()) {
      // A channel on its way out that nobody reads holds nothing: a peer that never answers
      // the close must not make it keep what it sends.
      if (closing_ && !haveCallback) return;
      const size_t size = sizeOf(message);
      if (pendingBytes_ + size > kMaxPendingBytes) {
        RepeatedLog::shared().log(
            "datachannel received message dropped", reinterpret_cast<uintptr_t>(this),
            [&] {
              return "datachannel: received message dropped: no receiver on channel \"" + label_ +
                     "\" and too much held";
            },
            OLogModule::webRTCClient);
        return;
      }
      pendingBytes_ += size;
      pending_.push_back(std::move(message));
      return;
    }
    text = textCallback_;
    binary = binaryCallback_;
  }
  if (auto* t = std::get_if<std::string>(&message)) {
    text(std::move(*t));
  } else {
    binary(std::get<Data>(std::move(message)));
  }
}

void DCDataChannel::flushPending() {
  for (;;) {
    std::variant<std::string, Data> message;
    TextCallback text;
    BinaryCallback binary;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty() || closed_) return;
      const bool isText = std::holds_alternative<std::string>(pending_.front());
      if (isText ? !textCallback_ : !binaryCallback_) return;
      message = std::move(pending_.front());
      pending_.pop_front();
      pendingBytes_ -= sizeOf(message);
      text = textCallback_;
      binary = binaryCallback_;
    }
    if (auto* t = std::get_if<std::string>(&message)) {
      text(std::move(*t));
    } else {
      binary(std::get<Data>(std::move(message)));
    }
  }
}

void DCDataChannel::deliverClosed() {
  EventCallback callback;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    open_ = false;
    callback = std::move(closedCallback_);
    // The channel is finished: dropping the callbacks breaks any cycle through their captures.
    openCallback_ = nullptr;
    closedCallback_ = nullptr;
    textCallback_ = nullptr;
    binaryCallback_ = nullptr;
    pending_.clear();
    pendingBytes_ = 0;
  }
  if (callback) callback(DCDcEvent{});
}

}  // namespace ombrelia::datachannel
