#pragma once
// Any thread.

#include <functional>
#include <mutex>

namespace ombrelia {

// A way for whoever made a response to have the connection writing it reset, from outside that
// connection: for an answer holding what others wait for while its player reads nothing. The
// connection attaches what resets it once it writes the response; a reset asked before that
// happens as it attaches. Shared, so that asking never outlives what it asks.
class WebServerResponseReset {
 public:
  // Resets the connection writing the response, now or once it starts writing it; once.
  void request();
  // Called by the connection that writes the response, on its own thread.
  void attach(std::function<void()> reset);

 private:
  std::mutex mutex_;
  std::function<void()> reset_;
  bool requested_ = false;
};

}  // namespace ombrelia
