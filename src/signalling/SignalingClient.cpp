#include "signalling/SignalingClient.hpp"

#include <any>
#include <utility>

#include <nlohmann/json.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/JsonWriter.hpp"
#include "platform/StandardOutput.hpp"
#include "protocol/AnalyticsInitMessage.hpp"
#include "protocol/AnalyticsMessage.hpp"

namespace ombrelia {

namespace {

using nlohmann::ordered_json;

constexpr const char* kEncodingFailure = "Error converting dictionary to data: ";

// Posters may hand the envelope by value or by shared pointer.
template <typename Message>
const Message* envelopeOf(const std::any& object) {
  if (const auto* value = std::any_cast<Message>(&object)) return value;
  if (const auto* shared = std::any_cast<std::shared_ptr<const Message>>(&object)) {
    return shared->get();
  }
  if (const auto* shared = std::any_cast<std::shared_ptr<Message>>(&object)) return shared->get();
  return nullptr;
}

}  // namespace

std::shared_ptr<SignalingClient> SignalingClient::create(
    std::shared_ptr<WebSocketProvider> webSocket) {
  std::shared_ptr<SignalingClient> client(new SignalingClient(std::move(webSocket)));
  client->registerObservers();
  return client;
}

SignalingClient::SignalingClient(std::shared_ptr<WebSocketProvider> webSocket)
    : webSocket_(std::move(webSocket)) {}

SignalingClient::~SignalingClient() {
  if (pingTimer_) pingTimer_->invalidate();
}

void SignalingClient::registerObservers() {
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<SignalingClient> weak = weak_from_this();
  observers_.push_back(center.addObserver("LeaveGroup", [weak](const platform::Notification& n) {
    const bool* leave = std::any_cast<bool>(&n.object);
    if (leave == nullptr || !*leave) return;
    if (auto self = weak.lock()) self->sendLeaveGroup();
  }));
  observers_.push_back(
      center.addObserver("AnalyticsInitMessage", [weak](const platform::Notification& n) {
        const auto* message = envelopeOf<AnalyticsInitMessage>(n.object);
        if (message == nullptr) return;
        if (auto self = weak.lock()) self->sendAnalyticsInit(*message);
      }));
  observers_.push_back(
      center.addObserver("AnalyticsMessage", [weak](const platform::Notification& n) {
        const auto* message = envelopeOf<AnalyticsMessage>(n.object);
        if (message == nullptr) return;
        if (auto self = weak.lock()) self->sendAnalytics(*message);
      }));
}

std::shared_ptr<SignalClientDelegate> SignalingClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void SignalingClient::setDelegate(std::weak_ptr<SignalClientDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void SignalingClient::connect() {
  webSocket_->setDelegate(weak_from_this());
  webSocket_->connect();
  std::lock_guard lock(mutex_);
  if (pingTimer_) return;
  std::weak_ptr<SignalingClient> weak = weak_from_this();
  pingTimer_ = platform::Timer::scheduled(
      platform::Timer::Settings{
          std::chrono::duration_cast<std::chrono::milliseconds>(kPingInterval), true, nullptr},
      [weak] {
        if (auto self = weak.lock()) self->ping();
      });
}

void SignalingClient::sendObject(const ordered_json& object) {
  auto written = platform::JsonWriter::write(object);
  if (!written.ok()) {
    OmbreliaLogger::error(kEncodingFailure + written.description(), OLogModule::signalClient);
    return;
  }
  platform::StandardOutput::writeLine(std::to_string(written.text->size()) + " bytes");
  webSocket_->send(Data(std::move(*written.text)));
}

void SignalingClient::sendInit(const std::string& videoID, const std::string& pubKey,
                               const std::string& clientID) {
  ordered_json object = ordered_json::object();
  object["type"] = "init";
  object["videoID"] = videoID;
  object["pubKey"] = pubKey;
  object["clientID"] = clientID;
  object["sdk"] = "ios";
  sendObject(object);
}

void SignalingClient::sendGroupRequest(int64_t bitrate, int64_t targetQuality,
                                       int64_t currentSegmentNumber) {
  ordered_json request = ordered_json::object();
  request["bitrate"] = bitrate;
  request["targetQuality"] = targetQuality;
  request["currentSegmentNumber"] = currentSegmentNumber;
  ordered_json object = ordered_json::object();
  object["type"] = "groupRequest";
  object["groupRequest"] = std::move(request);
  sendObject(object);
}

void SignalingClient::sendConnectionRequestDescription(const Uuid& uuid, const std::string& sdp,
                                                       SdpType type) {
  ordered_json description = ordered_json::object();
  description["type"] = std::string(rawValue(type));
  description["sdp"] = sdp;
  ordered_json object = ordered_json::object();
  object["type"] = "transfer";
  object["remotePeerID"] = uuid.lowercaseString();
  object["description"] = std::move(description);
  sendObject(object);
}

void SignalingClient::sendConnectionRequestCandidate(const Uuid& uuid, const std::string& candidate,
                                                     const std::optional<std::string>& sdpMid,
                                                     int32_t sdpMLineIndex) {
  ordered_json nested = ordered_json::object();
  nested["candidate"] = candidate;
  nested["sdpMLineIndex"] = sdpMLineIndex;
  // Readers take "sdpMid" only as a string; the number 0 would lose the candidate there.
  nested["sdpMid"] = sdpMid.value_or("0");
  nested["usernameFragment"] = "";
  ordered_json object = ordered_json::object();
  object["type"] = "transfer";
  object["remotePeerID"] = uuid.lowercaseString();
  object["candidate"] = std::move(nested);
  sendObject(object);
}

void SignalingClient::ping() { sendObject(ordered_json{{"type", "ping"}}); }

void SignalingClient::sendLeaveGroup() { sendObject(ordered_json{{"type", "leaveGroup"}}); }

void SignalingClient::sendAnalyticsInit(const AnalyticsInitMessage& message) {
  auto written = message.encode();
  if (!written.ok()) {
    OmbreliaLogger::error(kEncodingFailure + written.description(), OLogModule::signalClient);
    return;
  }
  webSocket_->sendAnalytics(Data(std::move(*written.text)), message.onTaken());
}

void SignalingClient::sendAnalytics(const AnalyticsMessage& message) {
  auto written = message.encode();
  if (!written.ok()) {
    OmbreliaLogger::error(kEncodingFailure + written.description(), OLogModule::signalClient);
    return;
  }
  webSocket_->sendAnalytics(Data(std::move(*written.text)));
}

void SignalingClient::webSocketDidConnect(WebSocketProvider&) {
  if (auto delegate = this->delegate()) delegate->signalClientDidConnect(*this);
}

void SignalingClient::webSocketDidDisconnect(WebSocketProvider&) {
  if (auto delegate = this->delegate()) delegate->signalClientDidDisconnect(*this);
}

void SignalingClient::webSocket(WebSocketProvider&, const Data& didReceiveData) {
  if (auto delegate = this->delegate()) delegate->signalClient(*this, didReceiveData);
}

void SignalingClient::webSocket(WebSocketProvider&, const std::string& didReceiveString) {
  if (auto delegate = this->delegate()) delegate->signalClient(*this, didReceiveString);
}

}  // namespace ombrelia
