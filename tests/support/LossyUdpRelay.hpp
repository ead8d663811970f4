#pragma once
// Its own thread forwards datagrams; throughRelay() and counts() may be called from any thread.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ombrelia::test {

// A UDP relay on 127.0.0.1 between two connections whose candidates are pointed through it: it
// drops, holds and reorders every datagram, STUN included, as a lossy network path would.
class LossyUdpRelay {
 public:
  enum class Side { offerer, answerer };

  struct Settings {
    double lossRate = 0;                  // share of datagrams dropped, each way
    std::chrono::milliseconds delay{10};  // held this long ...
    std::chrono::milliseconds jitter{5};  // ... plus or minus up to this much
    double immediateRate = 0.1;           // share released at once, overtaking the held ones
    uint32_t seed = 1;
    // With a rate, each way is a link of that many bytes a second: a datagram leaves once those
    // before it have, and one that would wait longer than `maxQueueing` for that is lost, as at
    // a full router queue.
    double bytesPerSecond = 0;
    std::chrono::milliseconds maxQueueing{1000};
  };

  struct Counts {
    uint64_t forwarded = 0;
    uint64_t dropped = 0;
  };

  explicit LossyUdpRelay(Settings settings);
  ~LossyUdpRelay();
  LossyUdpRelay(const LossyUdpRelay&) = delete;
  LossyUdpRelay& operator=(const LossyUdpRelay&) = delete;

  // Rewrites the 127.0.0.1 host candidates in an SDP text or a candidate line that `side`
  // produced, so that the other side reaches `side` through the relay only; the relay learns
  // where `side` really listens from them.
  std::string throughRelay(Side side, const std::string& text);
  Counts counts() const;

 private:
  void run();

  Settings settings_;
  // socket_[0] faces the offerer (the answerer's stand-in), socket_[1] the answerer.
  int socket_[2] = {-1, -1};
  uint16_t port_[2] = {0, 0};
  int wake_ = -1;  // an eventfd that ends run()
  mutable std::mutex mutex_;
  std::optional<sockaddr_in> real_[2];  // guarded by mutex_: where each side listens
  Counts counts_;                       // guarded by mutex_
  std::thread thread_;
};

}  // namespace ombrelia::test
