// What a tracker that adds and removes peers quickly does to the signalling queue: peers are added
// (each with its connection and offer, as a group response does) and removed on one serial
// queue at a given rate, while a ping block is queued every 20 ms; the delay each ping waits
// before it runs is what any other signalling message waits too. Prints
//   churn-delay-ms <p50> <p99> <max> <pings> <peers added>
//   churn-step-ms <p50> <p99> <max>      (the time one add, with its removal, holds the queue)
//   bench_peer_churn [peers per second] [seconds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "peers/DataChannelFramework.hpp"
#include "peers/PeerConnectionController.hpp"
#include "peers/PeerList.hpp"
#include "platform/DispatchQueue.hpp"
#include "protocol/GroupListItem.hpp"
#include "signalling/SignalingClient.hpp"
#include "signalling/WebSocketProvider.hpp"

namespace {

using namespace ombrelia;
using Clock = std::chrono::steady_clock;

// Peers listed at once while churning: half the list's bound.
constexpr size_t kLivePeers = PeerList::kMaxPeers / 2;
constexpr auto kPingInterval = std::chrono::milliseconds(20);

// The tracker side is not measured: what the negotiation sends goes nowhere.
class NullWebSocket final : public WebSocketProvider {
 public:
  std::shared_ptr<WebSocketProviderDelegate> delegate() const override { return nullptr; }
  void setDelegate(std::weak_ptr<WebSocketProviderDelegate>) override {}
  std::vector<Url> trackerList() const override { return {}; }
  void setTrackerList(std::vector<Url>) override {}
  void connect() override {}
  void send(const Data&) override {}
  void sendAnalytics(const Data&) override {}
};

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  const int rate = argc > 1 ? std::atoi(argv[1]) : 32;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  OmbreliaConfig::configure("bench");
  OmbreliaConfig::shared().setActivated(true);
  OmbreliaConfig::shared().setP2pActivated(true);
  PeerConnectionFactory::overrideShared(
      std::make_shared<DataChannelFramework>(DataChannelFramework::loopbackSettings()));
  auto controller =
      PeerConnectionController::create(SignalingClient::create(std::make_shared<NullWebSocket>()));
  auto queue = platform::DispatchQueue::create("bench.signalling");

  std::mutex mutex;
  std::vector<double> delays;
  std::vector<double> steps;
  std::deque<Uuid> live;
  size_t added = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  const auto churnStep = std::chrono::microseconds(1000000 / std::max(rate, 1));
  auto nextChurn = start;
  auto nextPing = start;
  while (Clock::now() < end) {
    const auto now = Clock::now();
    if (now >= nextChurn) {
      nextChurn += churnStep;
      queue->async([&] {
        const auto began = Clock::now();
        const Uuid uuid = Uuid::random();
        PeerList::shared().addPeer(GroupListItem("add", uuid, 1.0, false, true, false, false));
        live.push_back(uuid);
        ++added;
        if (live.size() > kLivePeers) {
          PeerList::shared().removePeer(live.front());
          live.pop_front();
        }
        const double step = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
        std::lock_guard lock(mutex);
        steps.push_back(step);
      });
    }
    if (now >= nextPing) {
      nextPing += kPingInterval;
      queue->async([&, postedAt = now] {
        const double delay =
            std::chrono::duration<double, std::milli>(Clock::now() - postedAt).count();
        std::lock_guard lock(mutex);
        delays.push_back(delay);
      });
    }
    std::this_thread::sleep_until(std::min(nextChurn, nextPing));
  }
  queue->sync([] { PeerList::shared().removeAll(); });
  std::lock_guard lock(mutex);
  std::printf("churn-delay-ms %.2f %.2f %.2f %zu %zu\n", percentile(delays, 0.5),
              percentile(delays, 0.99), percentile(delays, 1.0), delays.size(), added);
  std::printf("churn-step-ms %.2f %.2f %.2f\n", percentile(steps, 0.5), percentile(steps, 0.99),
              percentile(steps, 1.0));
  return 0;
}
