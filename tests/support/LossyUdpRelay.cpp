#include "support/LossyUdpRelay.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <stdexcept>
#include <vector>

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;

// Larger than any datagram our connections send (the DTLS MTU is 1200).
constexpr size_t kMaxDatagramBytes = 65536;

int boundSocket(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("LossyUdpRelay: no UDP socket on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

LossyUdpRelay::LossyUdpRelay(Settings settings) : settings_(settings) {
  socket_[0] = boundSocket(port_[0]);
  socket_[1] = boundSocket(port_[1]);
  wake_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { run(); });
}

LossyUdpRelay::~LossyUdpRelay() {
  const uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
  thread_.join();
  close(socket_[0]);
  close(socket_[1]);
  close(wake_);
}

std::string LossyUdpRelay::throughRelay(Side side, const std::string& text) {
  // The peer of `side` must send to the socket that faces that peer.
  const int own = side == Side::offerer ? 0 : 1;
  const uint16_t relayPort = port_[side == Side::offerer ? 1 : 0];
  static const std::regex kHostCandidate(
      R"((candidate:\S+ \d+ (?:udp|UDP) \d+ )127\.0\.0\.1 (\d+))");
  std::string out;
  auto last = text.cbegin();
  for (std::sregex_iterator it(text.begin(), text.end(), kHostCandidate), end; it != end; ++it) {
    const std::smatch& match = *it;
    sockaddr_in real{};
    real.sin_family = AF_INET;
    real.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    real.sin_port = htons(static_cast<uint16_t>(std::stoul(match[2].str())));
    {
      std::lock_guard lock(mutex_);
      real_[own] = real;
    }
    out.append(last, match[0].first);
    out += match[1].str() + "127.0.0.1 " + std::to_string(relayPort);
    last = match[0].second;
  }
  out.append(last, text.cend());
  return out;
}

LossyUdpRelay::Counts LossyUdpRelay::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void LossyUdpRelay::run() {
  struct Held {
    int from;  // the socket it goes out of
    sockaddr_in to;
    std::vector<uint8_t> bytes;
  };
  std::multimap<Clock::time_point, Held> held;
  std::mt19937 random(settings_.seed);
  std::uniform_real_distribution<double> chance(0, 1);
  std::uniform_int_distribution<int64_t> jitter(-settings_.jitter.count(),
                                                settings_.jitter.count());
  std::vector<uint8_t> buffer(kMaxDatagramBytes);
  Clock::time_point linkFree[2] = {};  // when each way's link has passed what it holds
  for (;;) {
    int timeout = -1;
    if (!held.empty()) {
      const auto wait =
          std::chrono::ceil<std::chrono::milliseconds>(held.begin()->first - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(wait.count(), 0));
    }
    pollfd fds[3] = {{socket_[0], POLLIN, 0}, {socket_[1], POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) return;
    if (fds[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      if (fds[side].revents == 0) continue;
      for (;;) {
        const ssize_t size = recv(socket_[side], buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size < 0) break;
        std::optional<sockaddr_in> to;
        {
          std::lock_guard lock(mutex_);
          to = real_[1 - side];
          if (!to || chance(random) < settings_.lossRate) {
            ++counts_.dropped;
            continue;
          }
          ++counts_.forwarded;
        }
        auto at = Clock::now();
        if (settings_.bytesPerSecond > 0) {
          const auto start = std::max(at, linkFree[side]);
          if (start - at > settings_.maxQueueing) {
            std::lock_guard lock(mutex_);
            --counts_.forwarded;
            ++counts_.dropped;
            continue;
          }
          linkFree[side] =
              start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                          static_cast<double>(size) / settings_.bytesPerSecond));
          at = linkFree[side];
        }
        if (chance(random) >= settings_.immediateRate) {
          at += settings_.delay + std::chrono::milliseconds(jitter(random));
        }
        held.emplace(at, Held{socket_[1 - side], *to,
                              std::vector<uint8_t>(buffer.begin(), buffer.begin() + size)});
      }
    }
    const auto now = Clock::now();
    while (!held.empty() && held.begin()->first <= now) {
      const Held& datagram = held.begin()->second;
      // A full socket buffer loses the datagram, as a congested path would.
      sendto(datagram.from, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&datagram.to), sizeof datagram.to);
      held.erase(held.begin());
    }
  }
}

}  // namespace ombrelia::test
