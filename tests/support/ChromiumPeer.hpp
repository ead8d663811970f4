#pragma once
// Test thread creates and destroys; the page's reports reach the line callback on the page
// server's thread; send() from any thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::test {

// Headless Chromium running tests/interop/chromium_peer.html from a loopback server, with a
// fresh profile. The page and the test exchange JSON lines through the server: the page polls
// for what send() queued and reports its own lines, which go to the line callback.
class ChromiumPeer {
 public:
  using LineCallback = std::function<void(const std::string&)>;

  // `role` is "offer" or "answer", what the page does.
  ChromiumPeer(const std::string& role, LineCallback onLine);
  // Stops the browser (and its helper processes), then the server; removes the profile.
  ~ChromiumPeer();
  ChromiumPeer(const ChromiumPeer&) = delete;
  ChromiumPeer& operator=(const ChromiumPeer&) = delete;

  static bool available();
  bool started() const { return browser_ && browser_->started(); }
  bool send(const std::string& line);

 private:
  std::filesystem::path profile_;
  std::mutex mutex_;  // guards queued_
  std::vector<std::string> queued_;
  // After what its handlers use: it stops before they go.
  TestHttpServer server_;
  std::unique_ptr<ChildProcess> browser_;
};

}  // namespace ombrelia::test
