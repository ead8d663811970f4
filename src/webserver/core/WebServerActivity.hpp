#pragma once
// Any thread: counts are kept under a lock; the busy/idle reports run on the main queue.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace ombrelia {

// Counts a server's open connections and reports when it becomes busy (the first connection
// opens) and idle (the last one closed, then nothing opened for the coalescing interval), so a
// burst of connections gives one report each way. Reports run on the main queue.
class WebServerActivity : public std::enable_shared_from_this<WebServerActivity> {
public:
  struct Callbacks {
    std::function<void()> didConnect;
    std::function<void()> didDisconnect;
  };

  [[nodiscard]] static std::shared_ptr<WebServerActivity> create(Callbacks callbacks);

  // Set at start; 0 or less reports idle at once.
  void setDisconnectDelay(std::chrono::milliseconds delay);
  // While not listening, idle is reported at once rather than after the delay.
  void setListening(bool listening);

  void willStartConnection();
  void didEndConnection();
  // Reports a pending idle at once (the server stops).
  void flushPendingDisconnect();

  int64_t activeConnections() const;
  bool isConnected() const; // the busy state as last reported

private:
  explicit WebServerActivity(Callbacks callbacks);
  void didConnectOnMain();
  void didDisconnectOnMain();

  Callbacks callbacks_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  int64_t activeConnections_ = 0;
  std::chrono::milliseconds disconnectDelay_{1000};
  bool listening_ = false;
  // Main queue only (the lock is taken for the readers on other threads).
  bool connected_ = false;
  uint64_t pendingDisconnect_ = 0; // generation of the pending idle report; 0 when none
  uint64_t generation_ = 0;
};

} // namespace ombrelia
