// Two WebRTC clients of the library on 127.0.0.1, each bound to the identifiers of its
// negotiation as the peer list binds them, handing each other descriptions and candidates in
// process. For each connection: the time from the offer until the channel is open at both ends
// (when it carries the peer protocol), and until both ends have taken the other's statement of
// identifiers (when it may take part in the choice of one connection per viewer); and, for
// scale, the round trip of a short text over the open channel. Prints
//   open-ms <median> <min> <max>
//   proven-ms <median> <min> <max>
//   proof-after-open-ms <median> <min> <max>
//   round-trip-ms <median> <min> <max>
//   bench_connection_proof [setups]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/DataChannelFramework.hpp"
#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCClientDelegate.hpp"

namespace {

using namespace ombrelia;
using Clock = std::chrono::steady_clock;

// Hands every local candidate of one client to the other at once; sends back every text, or
// counts the ones that come back.
class CandidateRelay : public WebRTCClientDelegate {
 public:
  void setOther(std::weak_ptr<WebRTCClient> other) {
    std::lock_guard lock(mutex_);
    other_ = std::move(other);
  }
  void webRTCClient(WebRTCClient&, const LocalCandidate& candidate) override {
    std::shared_ptr<WebRTCClient> other;
    {
      std::lock_guard lock(mutex_);
      other = other_.lock();
    }
    if (other) other->setRemoteCandidate(candidate.candidate, candidate.mid, nullptr);
  }
  void webRTCClient(WebRTCClient&, datachannel::DCIceState) override {}
  void webRTCClient(WebRTCClient& client, const std::string& text) override {
    if (echoes) {
      client.sendData(Data(std::vector<uint8_t>(text.begin(), text.end())), false);
    } else {
      ++received;
    }
  }
  bool echoes = false;
  std::atomic<int> received{0};
  void webRTCClient(WebRTCClient&, const Data&) override {}
  void webRTCClient(WebRTCClient&, int64_t) override {}

 private:
  std::mutex mutex_;  // guards other_
  std::weak_ptr<WebRTCClient> other_;
};

struct Times {
  double open = 0;
  double proven = 0;
  double roundTrip = 0;
};

Times connect(PeerConnectionFactory& factory) {
  const Uuid a = Uuid::random();
  const Uuid b = Uuid::random();
  auto offerer = WebRTCClient::create({}, factory);
  auto answerer = WebRTCClient::create({}, factory);
  if (!offerer || !answerer) {
    std::fprintf(stderr, "bench_connection_proof: no peer connection\n");
    std::exit(1);
  }
  offerer->bindIdentity({a, 1}, b);
  answerer->bindIdentity({b, 1}, a);
  auto toAnswerer = std::make_shared<CandidateRelay>();
  auto toOfferer = std::make_shared<CandidateRelay>();
  toAnswerer->setOther(answerer);
  toOfferer->setOther(offerer);
  toOfferer->echoes = true;
  offerer->setDelegate(toAnswerer);
  answerer->setDelegate(toOfferer);

  const auto start = Clock::now();
  std::weak_ptr<WebRTCClient> weakOfferer = offerer;
  std::weak_ptr<WebRTCClient> weakAnswerer = answerer;
  offerer->offer([weakOfferer, weakAnswerer](const SessionDescription& offer) {
    auto answering = weakAnswerer.lock();
    if (!answering) return;
    answering->setRemoteSdp(offer.sdp, nullptr);
    answering->answer([weakOfferer](const SessionDescription& answer) {
      if (auto offering = weakOfferer.lock()) offering->setRemoteSdp(answer.sdp, nullptr);
    });
  });
  // Polled without sleeping: the figures are a few milliseconds.
  Times times;
  const auto bound = start + std::chrono::seconds(20);
  while (times.proven == 0 && Clock::now() < bound) {
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (times.open == 0 && offerer->isConnected() && answerer->isConnected()) times.open = elapsed;
    if (offerer->remoteIdentity() && answerer->remoteIdentity()) times.proven = elapsed;
    std::this_thread::yield();
  }
  if (times.open == 0 || times.proven == 0) {
    std::fprintf(stderr, "bench_connection_proof: the connection was not %s in time\n",
                 times.open == 0 ? "open" : "proven");
    std::exit(1);
  }
  const auto sent = Clock::now();
  offerer->sendData(Data(std::vector<uint8_t>{'{', '}'}), false);
  while (toAnswerer->received == 0 && Clock::now() < sent + std::chrono::seconds(5))
    std::this_thread::yield();
  if (toAnswerer->received == 0) {
    std::fprintf(stderr, "bench_connection_proof: the text did not come back\n");
    std::exit(1);
  }
  times.roundTrip = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
  return times;
}

void print(const char* name, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%s %.2f %.2f %.2f\n", name, values[values.size() / 2], values.front(),
              values.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int setups = std::max(argc > 1 ? std::atoi(argv[1]) : 20, 1);
  DataChannelFramework factory(DataChannelFramework::loopbackSettings());
  std::vector<double> open;
  std::vector<double> proven;
  std::vector<double> after;
  std::vector<double> roundTrip;
  for (int i = 0; i < setups; ++i) {
    const Times times = connect(factory);
    open.push_back(times.open);
    proven.push_back(times.proven);
    after.push_back(times.proven - times.open);
    roundTrip.push_back(times.roundTrip);
  }
  print("open-ms", open);
  print("proven-ms", proven);
  print("proof-after-open-ms", after);
  print("round-trip-ms", roundTrip);
  return 0;
}
