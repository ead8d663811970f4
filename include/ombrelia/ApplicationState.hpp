#pragma once
// Any thread.

#include <ombrelia/Export.hpp>

namespace ombrelia {

// The application tells the library when it leaves the foreground and when it comes back; the
// library starts in the foreground. Every started ProxyManager stops listening in the background
// (once the player's connections open at that moment have ended) and gives no local URL there;
// back in the foreground it listens again on its port. Where it cannot (another program took the
// port meanwhile), isListening() stays false and lastStartError() says why, until startServer()
// is called again. The proxy follows each report shortly after, on a thread of the library's:
// isListening() tells when it has.
class OMBRELIA_API ApplicationState {
 public:
  ApplicationState() = delete;

  static void enterBackground();
  static void enterForeground();
  static bool isInBackground();
};

}  // namespace ombrelia
