#pragma once
// Any thread: implementations guard their own state.

#include <functional>
#include <memory>
#include <vector>

#include <ombrelia/Data.hpp>
#include <ombrelia/Url.hpp>

#include "signalling/WebSocketProviderDelegate.hpp"

namespace ombrelia {

// The signalling transport as the signalling client sees it.
class WebSocketProvider {
 public:
  virtual ~WebSocketProvider() = default;

  // Held weakly: the delegate usually owns the transport.
  virtual std::shared_ptr<WebSocketProviderDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<WebSocketProviderDelegate> delegate) = 0;
  virtual std::vector<Url> trackerList() const = 0;
  virtual void setTrackerList(std::vector<Url> trackerList) = 0;
  virtual void connect() = 0;
  // The bytes of one message, sent as one text frame.
  virtual void send(const Data& data) = 0;
  virtual void sendAnalytics(const Data& data) = 0;
  // The same, with `taken` run once the connection has written the text; never when the text
  // is dropped (no connection, a failed write). Transports that cannot tell take it at once.
  virtual void sendAnalytics(const Data& data, std::function<void()> taken) {
    sendAnalytics(data);
    if (taken) taken();
  }
};

}  // namespace ombrelia
