// Drives a viewer's download side with what a hostile uploader controls: the answers to its
// segment requests (valid or not, any size, repeated) and the frames (any request, offset,
// length and order, repeated, overlapping), between stops of the subscription. Whatever it
// sends, a segment handed to the player has exactly the size of the first answer and, at each
// offset, only the byte the peer sent for it: never a hole, never a byte from past the buffer.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "p2p/PeerMessagesController.hpp"
#include "peers/PeerConnectionFactory.hpp"
#include "peers/RTCDataChannel.hpp"
#include "peers/RTCPeerConnection.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessage.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessage.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessage.hpp"
#include "protocol/SegmentFrame.hpp"
#include "signalling/SignalingClient.hpp"
#include "store/VideoStorage.hpp"
#include "support/RecordingWebSocket.hpp"
#include "support/SampleSegment.hpp"

namespace {

using namespace ombrelia;

// The byte every honest frame carries at offset i; never 0, so a zero-filled hole shows.
uint8_t expected(uint64_t i) { return static_cast<uint8_t>(1 + (i * 31) % 250); }

// A channel that hands the viewer's texts to the script and the script's frames to the viewer,
// synchronously.
class Channel : public RTCDataChannel {
 public:
  void onMessage(std::function<void(std::string)> text, std::function<void(Data)> binary) override {
    text_ = std::move(text);
    binary_ = std::move(binary);
  }
  void onOpen(std::function<void()> callback) override { open_ = std::move(callback); }
  void onClosed(std::function<void()>) override {}
  std::string label() const override { return "P2P"; }
  void close() override {}
  bool sendText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(text);
    return true;
  }
  bool sendBinary(const Data&) override { return true; }

  void open() {
    if (open_) open_();
  }
  void text(const std::string& text) {
    if (text_) text_(text);
  }
  void binary(const Data& bytes) {
    if (binary_) binary_(bytes);
  }
  std::vector<std::string> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  std::function<void(std::string)> text_;
  std::function<void(Data)> binary_;
  std::function<void()> open_;
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

class Connection : public RTCPeerConnection {
 public:
  void onLocalDescription(std::function<void(std::string)>) override {}
  void onLocalCandidate(std::function<void(std::string, std::string)>) override {}
  void onDataChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) override {
    channel_ = std::move(callback);
  }
  void onStateChange(std::function<void(datachannel::DCIceState)>) override {}
  void onTransportsGone(std::function<void()>) override {}
  std::shared_ptr<RTCDataChannel> createDataChannel(const std::string&) override { return {}; }
  bool setRemoteDescription(const std::string&) override { return true; }
  bool addRemoteCandidate(const std::string&, const std::string&) override { return true; }
  void deliver(std::shared_ptr<RTCDataChannel> channel) {
    if (channel_) channel_(std::move(channel));
  }

 private:
  std::function<void(std::shared_ptr<RTCDataChannel>)> channel_;
};

class Factory : public PeerConnectionFactory {
 public:
  std::shared_ptr<RTCPeerConnection> create(const datachannel::DCConfiguration&) override {
    last = std::make_shared<Connection>();
    return last;
  }
  size_t socketsFor(const datachannel::DCConfiguration&) const override { return 2; }
  std::shared_ptr<Connection> last;
};

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() << 8 | byte()); }
};

using test::segment;

std::string lastOfType(Channel& channel, const std::string& type) {
  const auto sent = channel.sent();
  for (auto it = sent.rbegin(); it != sent.rend(); ++it)
    if (it->find("\"type\":\"" + type + "\"") != std::string::npos) return *it;
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool configured = [] {
    OmbreliaConfig::configure("key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(2);
    return true;
  }();
  (void)configured;
  Input in{data, size};

  Factory factory;
  auto client = WebRTCClient::create({}, factory);
  auto channel = std::make_shared<Channel>();
  factory.last->deliver(channel);
  channel->open();
  const Uuid uploader = *Uuid::parse("BBBBBBBB-2222-4222-8222-222222222222");
  const Peer peer{uploader, 1.0, false, false, false, true, client};
  PeerMessagesEnvironment environment;
  environment.peers = [peer] { return std::vector<Peer>{peer}; };
  environment.peerWith = [peer](const WebRTCClient& c) -> std::optional<Peer> {
    if (&c == peer.webRTCClient.get()) return peer;
    return std::nullopt;
  };
  environment.personalUUID = [] { return std::optional<Uuid>(); };
  environment.storage = VideoStorage::create(platform::MemoryPressureSource::create());
  environment.bufferLength = [] { return std::optional<double>(30.0); };
  environment.segmentDuration = [] { return int64_t{6}; };
  auto engine = PeerMessagesController::create(
      SignalingClient::create(std::make_shared<test::RecordingWebSocket>()), nullptr,
      std::move(environment));
  client->setDelegate(engine);

  // Subscribe: the peer holds the segment and accepts.
  engine->continueAbonnementAsReceiverSearch(segment(10), "v");
  const auto query =
      FileAvailabilityRequestMessageReader().readJSON(lastOfType(*channel, "fileAvailability"));
  if (!query) __builtin_trap();
  channel->text(*FileAvailabilityResponseMessage("fileAvailabilityResponse", query->requestID(),
                                                 SegmentReady::ok, 1, 1, 0, 0, 30.0, 1.0)
                     .encode()
                     .text);
  const auto abo = AbonnementRequestMessageReader().readJSON(lastOfType(*channel, "aboRequest"));
  if (!abo) __builtin_trap();
  channel->text(*AbonnementResponseMessage("aboResponse", abo->requestID(), true).encode().text);

  struct Request {
    Uuid id;
    int64_t segmentNumber;
    std::optional<int64_t> firstSize;  // of the first answer the peer sent
  };
  std::vector<Request> requests;  // the requests sent to the peer
  // For each call of sendFileRequest, the sent request whose bytes it may receive: the one it
  // sent, or the one it joined.
  std::vector<std::optional<size_t>> callOwners;
  std::mutex mutex;                                // guards delivered
  std::vector<std::pair<size_t, Data>> delivered;  // call, bytes

  while (in.more()) {
    const uint8_t op = in.byte();
    switch (op % 6) {
      case 0: {  // the viewer asks for a segment
        if (requests.size() >= 6) break;
        const size_t call = callOwners.size();
        const int64_t number = 20 + static_cast<int64_t>(in.byte() % 4);
        const auto before = channel->sent().size();
        engine->sendFileRequest(segment(number),
                                (op & 0x80) ? FileRequestType::predownload : FileRequestType::main,
                                "v", [&, call](std::optional<Data> bytes, auto, auto) {
                                  if (!bytes) return;
                                  std::lock_guard lock(mutex);
                                  delivered.emplace_back(call, std::move(*bytes));
                                });
        std::optional<size_t> owner;
        const auto sent = channel->sent();
        if (sent.size() > before) {
          if (const auto m = FileRequestMessageReader().readJSON(sent.back())) {
            owner = requests.size();
            requests.push_back({m->requestID(), number, std::nullopt});
          }
        } else {
          // Nothing sent: the call joined the request still listed for the same segment, which
          // can only be the one sent last for it (a second one is sent only once the first has
          // left the list). A call that joined nothing is answered with nothing.
          for (size_t k = requests.size(); k-- > 0;) {
            if (requests[k].segmentNumber == number) {
              owner = k;
              break;
            }
          }
        }
        callOwners.push_back(owner);
        break;
      }
      case 1: {  // an answer, of any size, valid or not
        if (requests.empty()) break;
        auto& request = requests[in.byte() % requests.size()];
        const uint8_t kind = in.byte();
        std::optional<int64_t> announced = in.u16();
        if (kind % 16 == 1) announced = std::nullopt;
        if (kind % 16 == 2) announced = PeerMessagesController::kMaxSegmentBytes + 1;
        if (kind % 16 == 3) announced = -1;
        if (kind % 16 == 4) announced = 0;
        const bool valid = (kind & 0x80) == 0;
        if (!request.firstSize && valid && announced) request.firstSize = announced;
        if (!request.firstSize) request.firstSize = -2;  // the first answer was a refusal
        channel->text(*FileRequestResponseMessage("fileRequestResponse", request.id, valid, 0,
                                                  announced, 1, announced, std::nullopt,
                                                  std::nullopt, std::nullopt)
                           .encode()
                           .text);
        break;
      }
      case 2:
      case 3: {  // a frame of honest bytes at any offset and length
        if (requests.empty()) break;
        const Uuid id = (op & 0x40) ? Uuid::random() : requests[in.byte() % requests.size()].id;
        const uint64_t offset = (op & 0x20) ? ~uint64_t{0} - in.byte() : in.u16();
        const size_t length = in.u16() % 20000;
        std::string payload(length, '\0');
        for (size_t k = 0; k < length; ++k) payload[k] = static_cast<char>(expected(offset + k));
        channel->binary(SegmentFrame::make(id, offset, payload));
        break;
      }
      case 4: {  // raw bytes as a binary frame
        const size_t length = in.byte();
        std::string bytes;
        while (bytes.size() < length && in.more()) bytes.push_back(static_cast<char>(in.byte()));
        channel->binary(Data(bytes));
        break;
      }
      case 5:
        if (op & 0x80)
          engine->stopAbonnement();
        else
          engine->checkRequestMessages();
        break;
    }
  }
  platform::DispatchQueue::main()->drain();
  engine.reset();
  platform::DispatchQueue::main()->drain();

  std::lock_guard lock(mutex);
  for (const auto& [call, bytes] : delivered) {
    const auto owner = callOwners.at(call);
    if (!owner) __builtin_trap();
    const auto& request = requests.at(*owner);
    if (!request.firstSize || *request.firstSize < 0 ||
        bytes.size() != static_cast<size_t>(*request.firstSize))
      __builtin_trap();
    for (size_t i = 0; i < bytes.size(); ++i)
      if (bytes.bytes()[i] != expected(i)) __builtin_trap();
  }
  return 0;
}
