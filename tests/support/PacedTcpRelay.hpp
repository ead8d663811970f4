#pragma once
// Any thread: the settings and controls are safe from the test thread while the relay runs its
// own threads.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ombrelia::test {

// A poor link in user space, for a kernel without netem: listens on 127.0.0.1 and relays each
// connection to a target port on 127.0.0.1, pacing each direction to a rate, delaying every
// piece by a one-way latency, and, on the test's word, stalling every byte for a while (an
// outage the connections survive), or breaking every connection off and refusing new ones.
// Loss is shown as TCP shows it to the ends: a piece now and then held back for a
// retransmission's time, never lost or reordered. What it holds in flight is bounded, so that an
// end that stops reading stops the other end too, as over a real link.
class PacedTcpRelay {
 public:
  struct Settings {
    uint16_t targetPort = 0;
    // Per direction; zero leaves it unpaced.
    uint64_t bytesPerSecond = 0;
    std::chrono::milliseconds delay{0};
    // The share of pieces held back, each for `retransmissionDelay` more.
    double lossRate = 0;
    std::chrono::milliseconds retransmissionDelay{600};
  };

  explicit PacedTcpRelay(Settings settings);
  ~PacedTcpRelay();
  PacedTcpRelay(const PacedTcpRelay&) = delete;
  PacedTcpRelay& operator=(const PacedTcpRelay&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const;

  // While stalled, no byte moves either way, and connections stay open.
  void setStalled(bool stalled) { stalled_ = stalled; }
  // Resets every connection (both ends), and while refusing, resets new ones at once.
  void breakConnections();
  void setRefusing(bool refusing) { refusing_ = refusing; }
  // Bytes relayed from the target to the clients so far.
  uint64_t bytesDown() const { return bytesDown_; }

 private:
  struct Link;
  void acceptLoop();
  void relay(std::shared_ptr<Link> link);

  const Settings settings_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> refusing_{false};
  std::atomic<uint64_t> bytesDown_{0};
  std::atomic<uint64_t> breaks_{0};
  std::mutex mutex_;  // guards threads_
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace ombrelia::test
