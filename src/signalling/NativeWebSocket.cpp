#include "signalling/NativeWebSocket.hpp"

#include <algorithm>
#include <utility>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/url/Utf8.hpp"

namespace ombrelia {

std::shared_ptr<NativeWebSocket> NativeWebSocket::create(Url url, Settings settings) {
  return std::shared_ptr<NativeWebSocket>(new NativeWebSocket(std::move(url), settings));
}

NativeWebSocket::NativeWebSocket(Url url, Settings settings)
    : defaultUrl_(std::move(url)),
      settings_(settings),
      delegateQueue_(platform::DispatchQueue::create("ombrelia.signalling.delegate")),
      backoff_(settings.backoff) {}

NativeWebSocket::~NativeWebSocket() = default;  // dropping the handle cancels the connection

std::shared_ptr<WebSocketProviderDelegate> NativeWebSocket::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void NativeWebSocket::setDelegate(std::weak_ptr<WebSocketProviderDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::vector<Url> NativeWebSocket::trackerList() const {
  std::lock_guard lock(mutex_);
  return trackerList_;
}

void NativeWebSocket::setTrackerList(std::vector<Url> trackerList) {
  std::vector<Url> kept;
  kept.reserve(trackerList.size());
  for (auto& url : trackerList) {
    if (url.scheme() == "ws" || url.scheme() == "wss") {
      kept.push_back(std::move(url));
    } else {
      OmbreliaLogger::error(
          "Tracker list entry dropped, its scheme is neither ws nor wss: " + shownUrl(url),
          OLogModule::signalClient);
    }
  }
  std::lock_guard lock(mutex_);
  trackerList_ = std::move(kept);
  if (OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::signalClient)) {
    std::string printed = "[";
    for (size_t i = 0; i < trackerList_.size(); ++i) {
      if (i > 0) printed += ", ";
      printed += shownUrl(trackerList_[i]);
    }
    OmbreliaLogger::debug("New tracker list set: " + printed + "]", OLogModule::signalClient);
  }
  nextTrackerIndex_ = 0;
}

NativeWebSocket::UrlChoice NativeWebSocket::chooseUrlLocked() {
  if (nextTrackerIndex_ < trackerList_.size()) {
    return UrlChoice{appendP2PConfiguration(trackerList_[nextTrackerIndex_]), true};
  }
  nextTrackerIndex_ = 0;
  return UrlChoice{defaultUrl_, false};
}

void NativeWebSocket::handleTrackerIndexCounterLocked(const UrlChoice& choice) {
  // Moving on whenever the URL came from the list, even when an entry equals the default
  // endpoint: comparing with the default would pin the rotation on such an entry.
  if (!choice.fromTrackerList || trackerList_.empty()) return;
  nextTrackerIndex_ = (nextTrackerIndex_ + 1) % trackerList_.size();
}

Url NativeWebSocket::appendP2PConfiguration(const Url& trackerURL) {
  auto configuration = OmbreliaConfig::shared().p2pConfiguration();
  if (!configuration) return trackerURL;
  // Appended as written after the items already there (a "config" among them included), the
  // value encoded so that it decodes back to the same text.
  Url url = trackerURL;
  std::string item = "config=" + Url::percentEncode(*configuration);
  const auto& query = trackerURL.query();
  url.setQuery(query && !query->empty() ? *query + "&" + item : item);
  return url;
}

void NativeWebSocket::connect() {
  std::shared_ptr<platform::WebSocketConnection> replaced;
  {
    std::lock_guard lock(mutex_);
    UrlChoice choice = chooseUrlLocked();
    OmbreliaLogger::debug(
        "Connecting to signal url (default or tracker list): " + shownUrl(choice.url),
        OLogModule::signalClient);
    handleTrackerIndexCounterLocked(choice);
    uint64_t generation = ++generation_;
    replaced = std::move(socket_);
    openedAt_.reset();
    auto delay = retrying_ ? backoff_.nextDelay() : std::chrono::milliseconds(0);
    retrying_ = false;
    if (delay.count() == 0) {
      socket_ = openLocked(generation, choice.url);
    } else {
      std::weak_ptr<NativeWebSocket> weak = weak_from_this();
      delegateQueue_->asyncAfter(delay, [weak, generation, url = choice.url] {
        if (auto self = weak.lock()) self->openIfCurrent(generation, url);
      });
    }
  }
  // Dropping the replaced handle cancels it; its late events fail the generation check.
  replaced.reset();
}

void NativeWebSocket::openIfCurrent(uint64_t generation, const Url& url) {
  std::lock_guard lock(mutex_);
  if (generation != generation_ || socket_) return;
  socket_ = openLocked(generation, url);
}

std::shared_ptr<platform::WebSocketConnection> NativeWebSocket::openLocked(uint64_t generation,
                                                                           const Url& url) {
  // The connection calls back on the I/O thread; every event hops to the delegate queue, in
  // order, and is dropped there when its connection is no longer the current one.
  std::weak_ptr<NativeWebSocket> weak = weak_from_this();
  auto queue = delegateQueue_;
  platform::WebSocketConnection::Callbacks callbacks;
  callbacks.onOpen = [weak, queue, generation] {
    queue->async([weak, generation] {
      if (auto self = weak.lock()) self->didOpen(generation);
    });
  };
  // The connection reads the next frame once the delegate has handled this one (within the
  // connection's small bounds), so a tracker cannot make frames pile up on the queue.
  callbacks.onText = [weak, queue, generation](std::string text) {
    queue->async([weak, generation, text = std::move(text)] {
      auto self = weak.lock();
      if (!self || !self->isCurrent(generation)) return;
      if (auto delegate = self->delegate()) delegate->webSocket(*self, text);
      self->consumed(generation, text.size());
    });
  };
  callbacks.onBinary = [weak, queue, generation](Data bytes) {
    queue->async([weak, generation, bytes = std::move(bytes)] {
      auto self = weak.lock();
      if (!self || !self->isCurrent(generation)) return;
      if (auto delegate = self->delegate()) delegate->webSocket(*self, bytes);
      self->consumed(generation, bytes.size());
    });
  };
  callbacks.onClose = [weak, queue, generation, url](const std::string& reason) {
    queue->async([weak, generation, reason, url] {
      if (auto self = weak.lock()) self->didClose(generation, reason, url);
    });
  };
  return platform::WebSocketConnection::open(url, settings_.connection, std::move(callbacks));
}

void NativeWebSocket::consumed(uint64_t generation, size_t bytes) {
  std::shared_ptr<platform::WebSocketConnection> socket;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    socket = socket_;
  }
  if (socket) socket->consumed(bytes);
}

bool NativeWebSocket::isCurrent(uint64_t generation) const {
  std::lock_guard lock(mutex_);
  return generation == generation_;
}

void NativeWebSocket::didOpen(uint64_t generation) {
  std::shared_ptr<WebSocketProviderDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    openedAt_ = platform::MonotonicClock::now();
    toldReasons_.clear();
    delegate = delegate_.lock();
  }
  if (delegate) delegate->webSocketDidConnect(*this);
}

void NativeWebSocket::didClose(uint64_t generation, const std::string& reason, const Url& url) {
  std::shared_ptr<WebSocketProviderDelegate> delegate;
  std::shared_ptr<platform::WebSocketConnection> ended;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    ++generation_;
    if (!openedAt_) reportUnreachableLocked(reason, url);
    ended = std::move(socket_);
    if (openedAt_ && platform::MonotonicClock::now() - *openedAt_ >= kBackoffResetAfter) {
      backoff_.reset();
    }
    openedAt_.reset();
    retrying_ = true;
    delegate = delegate_.lock();
  }
  ended.reset();
  // The delegate typically reconnects from here, which takes the lock again.
  if (delegate) delegate->webSocketDidDisconnect(*this);
}

void NativeWebSocket::reportUnreachableLocked(const std::string& reason, const Url& url) {
  if (std::find(toldReasons_.begin(), toldReasons_.end(), reason) != toldReasons_.end()) return;
  if (toldReasons_.size() >= kMaxToldReasons) toldReasons_.erase(toldReasons_.begin());
  toldReasons_.push_back(reason);
  OmbreliaLogger::error("Tracker " + shownUrl(url) + " cannot be reached: " + reason,
                        OLogModule::signalClient);
}

std::string NativeWebSocket::shownUrl(const Url& url) {
  // Built from the host and port: the authority as written carries the user name and password.
  const std::string host = url.host().value_or("");
  std::string shown = url.scheme();
  shown.append("://");
  if (host.find(':') == std::string::npos) {
    shown.append(host);
  } else {
    shown.append("[").append(host).append("]");
  }
  if (url.port()) shown.append(":").append(std::to_string(*url.port()));
  shown.append(url.path());
  if (shown.size() > kMaxLoggedUrlBytes) {
    shown.resize(kMaxLoggedUrlBytes);
    shown += "...";
  }
  return shown;
}

void NativeWebSocket::send(const Data& data) { sendText(data, OLogModule::signalClient); }

void NativeWebSocket::sendAnalytics(const Data& data) { sendText(data, OLogModule::analytics); }

void NativeWebSocket::sendAnalytics(const Data& data, std::function<void()> taken) {
  sendText(data, OLogModule::analytics, std::move(taken));
}

void NativeWebSocket::sendText(const Data& data, OLogModule module, std::function<void()> taken) {
  if (!Utf8::isValid(data.view())) return;
  std::shared_ptr<platform::WebSocketConnection> socket;
  {
    std::lock_guard lock(mutex_);
    socket = socket_;
  }
  if (!socket) return;
  auto text = std::make_shared<const std::string>(data.toString());
  auto queue = delegateQueue_;
  socket->sendText(
      *text, [queue, text, module, taken = std::move(taken)](std::optional<std::string> error) {
        queue->async([text, error = std::move(error), module, taken] {
          if (error) {
            OmbreliaLogger::error("WebSocket send error: " + *error, module);
          } else {
            OmbreliaLogger::debug("String sent: " + *text, module);
            if (taken) taken();
          }
        });
      });
}

}  // namespace ombrelia
