#include "webserver/core/WebServerActivity.hpp"

#include "platform/DispatchQueue.hpp"
#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {

using platform::DispatchQueue;

std::shared_ptr<WebServerActivity> WebServerActivity::create(Callbacks callbacks) {
  return std::shared_ptr<WebServerActivity>(new WebServerActivity(std::move(callbacks)));
}

WebServerActivity::WebServerActivity(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

void WebServerActivity::setDisconnectDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  disconnectDelay_ = delay;
}

void WebServerActivity::setListening(bool listening) {
  std::lock_guard lock(mutex_);
  listening_ = listening;
}

int64_t WebServerActivity::activeConnections() const {
  std::lock_guard lock(mutex_);
  return activeConnections_;
}

bool WebServerActivity::isConnected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

void WebServerActivity::willStartConnection() {
  std::lock_guard lock(mutex_);
  if (activeConnections_++ == 0) {
    std::weak_ptr<WebServerActivity> weak = weak_from_this();
    DispatchQueue::main()->async([weak] {
      auto self = weak.lock();
      if (!self)
        return;
      bool connect = false;
      {
        std::lock_guard lock(self->mutex_);
        self->pendingDisconnect_ = 0; // a pending idle report is cancelled
        connect = !self->connected_;
        if (connect)
          self->connected_ = true;
      }
      if (connect)
        self->didConnectOnMain();
    });
  }
}

void WebServerActivity::didEndConnection() {
  std::lock_guard lock(mutex_);
  if (activeConnections_ <= 0 || --activeConnections_ > 0)
    return;
  std::weak_ptr<WebServerActivity> weak = weak_from_this();
  DispatchQueue::main()->async([weak] {
    auto self = weak.lock();
    if (!self)
      return;
    std::chrono::milliseconds delay{0};
    uint64_t generation = 0;
    {
      std::lock_guard lock(self->mutex_);
      if (self->activeConnections_ > 0 || !self->connected_)
        return;
      if (self->disconnectDelay_.count() > 0 && self->listening_) {
        delay = self->disconnectDelay_;
        generation = self->pendingDisconnect_ = ++self->generation_;
      } else {
        self->pendingDisconnect_ = 0;
        self->connected_ = false;
      }
    }
    if (generation == 0) {
      self->didDisconnectOnMain();
      return;
    }
    DispatchQueue::main()->asyncAfter(delay, [weak, generation] {
      auto self = weak.lock();
      if (!self)
        return;
      {
        std::lock_guard lock(self->mutex_);
        if (self->pendingDisconnect_ != generation)
          return;
        self->pendingDisconnect_ = 0;
        self->connected_ = false;
      }
      self->didDisconnectOnMain();
    });
  });
}

void WebServerActivity::flushPendingDisconnect() {
  std::weak_ptr<WebServerActivity> weak = weak_from_this();
  DispatchQueue::main()->async([weak] {
    auto self = weak.lock();
    if (!self)
      return;
    {
      std::lock_guard lock(self->mutex_);
      if (self->pendingDisconnect_ == 0)
        return;
      self->pendingDisconnect_ = 0;
      self->connected_ = false;
    }
    self->didDisconnectOnMain();
  });
}

void WebServerActivity::didConnectOnMain() {
  if (WebServerShouldLog(kWebServerLogDebug))
    WebServerLogMessage(kWebServerLogDebug, "Did connect");
  if (callbacks_.didConnect)
    callbacks_.didConnect();
}

void WebServerActivity::didDisconnectOnMain() {
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Did disconnect");
  }
  if (callbacks_.didDisconnect)
    callbacks_.didDisconnect();
}

} // namespace ombrelia
