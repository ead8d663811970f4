#pragma once
// Any thread.

#include <cstdint>
#include <memory>

namespace ombrelia::platform {

class HttpClientEngine;

// A handle on one transfer of an HttpClient.
class HttpTask {
 public:
  HttpTask(std::weak_ptr<HttpClientEngine> engine, uint64_t identifier)
      : engine_(std::move(engine)), identifier_(identifier) {}

  // Ends the transfer; its completion then reports a cancellation, unless it has already run
  // or been queued with the transfer's own outcome.
  void cancel();
  // Nobody waits for the answer any more. The transfer may still end well, and its completion
  // runs as usual, for whoever keeps what it brings (a segment store); but only while the bodies
  // in flight stay within the client's budget and no request someone waits for needs its
  // connection. Past either it ends as cancelled.
  void abandon();
  uint64_t identifier() const { return identifier_; }

 private:
  std::weak_ptr<HttpClientEngine> engine_;
  uint64_t identifier_;
};

}  // namespace ombrelia::platform
