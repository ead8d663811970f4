#pragma once
// Main queue: every operation is called on the library's main queue.

namespace ombrelia {

class WebServer;

// What a server tells its application. Every operation is optional. The server's stop() waits,
// outside its lock, for a publication or mapping call under way: such a call may use the server
// and may stop it, but must not wait for another thread that is stopping it.
class WebServerDelegate {
public:
  virtual ~WebServerDelegate() = default;
  virtual void webServerDidStart(WebServer &) {}
  virtual void webServerDidCompleteBonjourRegistration(WebServer &) {}
  virtual void webServerDidUpdateNATPortMapping(WebServer &) {}
  // The server became busy: its first connection opened.
  virtual void webServerDidConnect(WebServer &) {}
  // The server became idle: its last connection closed and none opened for the coalescing
  // interval.
  virtual void webServerDidDisconnect(WebServer &) {}
  virtual void webServerDidStop(WebServer &) {}
};

} // namespace ombrelia
