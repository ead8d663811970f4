// Two of our data-channel connections on 127.0.0.1: the time from createDataChannel to the
// channel's open event, and MB/s of 15,924-byte binary frames sent one way. Prints
//   setup-ms <median> <min> <max>
//   throughput <MB/s> <bytes> <seconds>
// which bench/scripts/datachannel sets beside node-datachannel's figures. With a loss percentage,
// each side's SCTP packets are lost at that rate during the transfer, as on a lossy path.
//   bench_datachannel [megabytes] [setups] [loss-percent]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datachannel/DCPeerConnection.hpp"

namespace {

using namespace ombrelia;
using namespace ombrelia::datachannel;
using Clock = std::chrono::steady_clock;

// The frame the peer protocol cuts segments into.
constexpr size_t kFrameBytes = 15924;
// The sender keeps at most this much queued in SCTP, as a browser application would with
// bufferedAmount; enough to keep the association's window full on loopback.
constexpr size_t kHighWaterBytes = 4 * 1024 * 1024;

// One-shot flag a callback sets and the main thread waits on.
class Signal {
 public:
  // Notifies under the lock: the waiter may return and destroy this flag as soon as it sees
  // set_, so the flag must not be touched once the lock is released.
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool waitFor(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Two connections that hand each other their descriptions and candidates in process.
struct Pair {
  std::shared_ptr<DCPeerConnection> offerer;
  std::shared_ptr<DCPeerConnection> answerer;
  std::shared_ptr<DCDataChannel> channel;        // the offerer's
  std::shared_ptr<DCDataChannel> remoteChannel;  // the answerer's
  Signal opened;
  Signal announced;
  std::mutex mutex;  // guards remoteChannel

  Pair() {
    DCConfiguration config;
    config.bindAddress = "127.0.0.1";
    offerer = DCPeerConnection::create(config);
    answerer = DCPeerConnection::create(config);
    if (!offerer || !answerer) {
      std::fprintf(stderr, "bench_datachannel: no peer connection\n");
      std::exit(1);
    }
    std::weak_ptr<DCPeerConnection> toAnswerer = answerer;
    std::weak_ptr<DCPeerConnection> toOfferer = offerer;
    offerer->onLocalDescription([toAnswerer](std::string sdp) {
      if (auto peer = toAnswerer.lock()) peer->setRemoteDescription(sdp);
    });
    answerer->onLocalDescription([toOfferer](std::string sdp) {
      if (auto peer = toOfferer.lock()) peer->setRemoteDescription(sdp);
    });
    offerer->onLocalCandidate([toAnswerer](std::string candidate, std::string mid) {
      if (auto peer = toAnswerer.lock()) peer->addRemoteCandidate(candidate, mid);
    });
    answerer->onLocalCandidate([toOfferer](std::string candidate, std::string mid) {
      if (auto peer = toOfferer.lock()) peer->addRemoteCandidate(candidate, mid);
    });
    answerer->onDataChannel([this](std::shared_ptr<DCDataChannel> remote) {
      {
        std::lock_guard lock(mutex);
        remoteChannel = std::move(remote);
      }
      announced.set();
    });
  }

  // Creates the channel and waits for it to open; the milliseconds it took.
  double open() {
    const auto start = Clock::now();
    channel = offerer->createDataChannel("P2P");
    channel->onOpen([this](DCDcEvent) { opened.set(); });
    if (!opened.waitFor(std::chrono::seconds(20)) || !announced.waitFor(std::chrono::seconds(5))) {
      std::fprintf(stderr, "bench_datachannel: the channel did not open\n");
      std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
};

double throughput(Pair& pair, size_t totalBytes, double& seconds) {
  const size_t frames = (totalBytes + kFrameBytes - 1) / kFrameBytes;
  std::atomic<size_t> received{0};
  Signal done;
  std::shared_ptr<DCDataChannel> remote;
  {
    std::lock_guard lock(pair.mutex);
    remote = pair.remoteChannel;
  }
  remote->onMessage([](std::string) {},
                    [&](Data bytes) {
                      if (received.fetch_add(bytes.size()) + bytes.size() >= frames * kFrameBytes) {
                        done.set();
                      }
                    });
  const Data frame(std::vector<uint8_t>(kFrameBytes, 0x5a));
  const auto start = Clock::now();
  for (size_t sent = 0; sent < frames;) {
    if (pair.channel->bufferedAmount() + kFrameBytes > kHighWaterBytes) {
      // The framework has no buffered-amount-low event; a short nap lets SCTP drain.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    if (!pair.channel->sendBinary(frame)) {
      std::fprintf(stderr, "bench_datachannel: send refused\n");
      std::exit(1);
    }
    ++sent;
  }
  if (!done.waitFor(std::chrono::seconds(120))) {
    std::fprintf(stderr, "bench_datachannel: only %zu of %zu bytes arrived\n", received.load(),
                 frames * kFrameBytes);
    std::exit(1);
  }
  seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Remove the callbacks' references to this frame before it goes.
  remote->onMessage([](std::string) {}, [](Data) {});
  return static_cast<double>(frames * kFrameBytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int setups = argc > 2 ? std::atoi(argv[2]) : 10;
  const double lossPercent = argc > 3 ? std::atof(argv[3]) : 0.0;

  std::vector<double> setupMs;
  for (int i = 0; i < std::max(setups, 1); ++i) {
    Pair pair;
    setupMs.push_back(pair.open());
  }
  std::sort(setupMs.begin(), setupMs.end());
  std::printf("setup-ms %.2f %.2f %.2f\n", setupMs[setupMs.size() / 2], setupMs.front(),
              setupMs.back());

  Pair pair;
  pair.open();
  if (lossPercent > 0) {
    // Fixed seeds: every run draws the same sequence of losses.
    SctpImpairment path;
    path.lossRate = lossPercent / 100;
    path.seed = 1;
    pair.offerer->impairSctpForTesting(path);
    path.seed = 2;
    pair.answerer->impairSctpForTesting(path);
  }
  double seconds = 0;
  const double rate = throughput(pair, megabytes * 1000 * 1000, seconds);
  std::printf("throughput %.1f %zu %.3f\n", rate, megabytes * 1000 * 1000, seconds);
  return 0;
}
