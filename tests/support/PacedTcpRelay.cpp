#include "support/PacedTcpRelay.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <random>
#include <string>

#include "support/LoopbackAddress.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;

// What one direction holds in flight: small beside a segment, so that an end that stops
// reading soon stops the other, as a real link's window does.
constexpr size_t kMaxBytesInFlight = 64 * 1024;
constexpr size_t kMaxPieceBytes = 16 * 1024;
// How often a relay thread looks at the test's controls while nothing else wakes it.
constexpr std::chrono::milliseconds kLookEvery{20};

void resetAndClose(int fd) {
  if (fd < 0) return;
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  ::close(fd);
}

struct Piece {
  Clock::time_point due;
  std::string bytes;
  size_t sent = 0;
};

// One way of a connection: from `from` to `to`.
struct Direction {
  int from = -1;
  int to = -1;
  bool down = false;  // from the target to the client
  std::deque<Piece> pieces;
  size_t queued = 0;
  bool ended = false;  // `from` has closed its side
  bool shut = false;   // and that close has been passed on
  Clock::time_point nextSend{};
};

}  // namespace

struct PacedTcpRelay::Link {
  int client = -1;
  int target = -1;
};

PacedTcpRelay::PacedTcpRelay(Settings settings) : settings_(settings) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof(address);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

PacedTcpRelay::~PacedTcpRelay() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string PacedTcpRelay::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void PacedTcpRelay::breakConnections() { ++breaks_; }

void PacedTcpRelay::acceptLoop() {
  while (!stopping_) {
    pollfd watched{listener_, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(kLookEvery.count())) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (refusing_) {
      resetAndClose(client);
      continue;
    }
    const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(settings_.targetPort);
    if (::connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      resetAndClose(client);
      ::close(target);
      continue;
    }
    auto link = std::make_shared<Link>(Link{client, target});
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, link] { relay(link); });
  }
}

void PacedTcpRelay::relay(std::shared_ptr<Link> link) {
  for (const int fd : {link->client, link->target}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  std::minstd_rand random(static_cast<uint32_t>(link->client * 7919 + link->target));
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  const uint64_t breaksAtStart = breaks_;
  std::array<Direction, 2> directions;
  directions[0].from = link->client;
  directions[0].to = link->target;
  directions[1].from = link->target;
  directions[1].to = link->client;
  directions[1].down = true;
  // A piece small enough that pacing stays smooth: about 20 ms of the rate.
  const size_t quantum =
      settings_.bytesPerSecond == 0
          ? kMaxPieceBytes
          : std::clamp<size_t>(static_cast<size_t>(settings_.bytesPerSecond / 50), 256,
                               kMaxPieceBytes);
  bool failed = false;
  std::array<char, kMaxPieceBytes> buffer{};
  while (!stopping_ && !failed && !(directions[0].shut && directions[1].shut)) {
    if (breaks_ != breaksAtStart) {
      failed = true;
      break;
    }
    const auto now = Clock::now();
    const bool stalled = stalled_;
    std::array<pollfd, 2> watched{pollfd{link->client, 0, 0}, pollfd{link->target, 0, 0}};
    auto wake = now + kLookEvery;
    for (auto& way : directions) {
      pollfd& from = way.from == link->client ? watched[0] : watched[1];
      pollfd& to = way.to == link->client ? watched[0] : watched[1];
      if (stalled) continue;
      if (!way.ended && way.queued < kMaxBytesInFlight) from.events |= POLLIN;
      if (!way.pieces.empty()) {
        const auto ready = std::max(way.pieces.front().due, way.nextSend);
        if (ready <= now) {
          to.events |= POLLOUT;
        } else {
          wake = std::min(wake, ready);
        }
      }
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    if (::poll(watched.data(), watched.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0) {
      continue;
    }
    if (stalled_) continue;
    for (auto& way : directions) {
      const pollfd& from = way.from == link->client ? watched[0] : watched[1];
      const pollfd& to = way.to == link->client ? watched[0] : watched[1];
      if (!way.ended && (from.revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(way.from, buffer.data(), std::min(quantum, buffer.size()), 0);
        if (n > 0) {
          auto due = Clock::now() + settings_.delay;
          if (settings_.lossRate > 0 && chance(random) < settings_.lossRate) {
            due += settings_.retransmissionDelay;
          }
          // In order, as TCP delivers: a piece held back holds back those after it.
          if (!way.pieces.empty()) due = std::max(due, way.pieces.back().due);
          way.pieces.push_back(Piece{due, std::string(buffer.data(), static_cast<size_t>(n))});
          way.queued += static_cast<size_t>(n);
        } else if (n == 0) {
          way.ended = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          failed = true;
        }
      }
      if ((to.revents & POLLOUT) && !way.pieces.empty()) {
        Piece& piece = way.pieces.front();
        const size_t length = std::min(quantum, piece.bytes.size() - piece.sent);
        const ssize_t n = ::send(way.to, piece.bytes.data() + piece.sent, length, MSG_NOSIGNAL);
        if (n > 0) {
          piece.sent += static_cast<size_t>(n);
          way.queued -= static_cast<size_t>(n);
          if (way.down) bytesDown_ += static_cast<uint64_t>(n);
          if (settings_.bytesPerSecond > 0) {
            way.nextSend =
                std::max(way.nextSend, Clock::now()) +
                std::chrono::microseconds(static_cast<int64_t>(n) * 1'000'000 /
                                          static_cast<int64_t>(settings_.bytesPerSecond));
          }
          if (piece.sent == piece.bytes.size()) way.pieces.pop_front();
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          failed = true;
        }
      }
      if (way.ended && way.pieces.empty() && !way.shut) {
        ::shutdown(way.to, SHUT_WR);
        way.shut = true;
      }
    }
  }
  if (failed || stopping_) {
    // Whatever broke one side breaks the other: a reset, as a dropped link ends a connection.
    resetAndClose(link->client);
    resetAndClose(link->target);
  } else {
    ::close(link->client);
    ::close(link->target);
  }
}

}  // namespace ombrelia::test
