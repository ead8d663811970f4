#pragma once
// Called on the transport's delegate queue, one event at a time.

#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

class WebSocketProvider;

// The events of the signalling transport.
class WebSocketProviderDelegate {
 public:
  virtual ~WebSocketProviderDelegate() = default;
  virtual void webSocketDidConnect(WebSocketProvider& webSocket) = 0;
  // Once per connection that ends, whatever ended it.
  virtual void webSocketDidDisconnect(WebSocketProvider& webSocket) = 0;
  virtual void webSocket(WebSocketProvider& webSocket, const Data& didReceiveData) = 0;
  virtual void webSocket(WebSocketProvider& webSocket, const std::string& didReceiveString) = 0;
};

}  // namespace ombrelia
