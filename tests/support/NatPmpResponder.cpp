#include "support/NatPmpResponder.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace ombrelia::test {

namespace {

constexpr uint16_t kNatPmpPort = 5351;
constexpr uint8_t kResponseBit = 128;

void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
void put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
uint16_t get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
uint32_t get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

}  // namespace

NatPmpResponder::NatPmpResponder(const std::string& address, Mode mode) : mode_(mode) {
  ::inet_pton(AF_INET, "203.0.113.7", &publicAddress_);
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kNatPmpPort);
  ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
  if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    return;
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

NatPmpResponder::~NatPmpResponder() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof(one));
    thread_.join();
  }
  if (socket_ >= 0) ::close(socket_);
  if (wake_ >= 0) ::close(wake_);
}

void NatPmpResponder::setPublicAddress(const std::string& address) {
  std::lock_guard lock(waiter_.mutex());
  ::inet_pton(AF_INET, address.c_str(), &publicAddress_);
}

void NatPmpResponder::setGrantedLifetime(uint32_t seconds) {
  std::lock_guard lock(waiter_.mutex());
  grantedLifetime_ = seconds;
}

void NatPmpResponder::setResultCode(uint16_t code) {
  std::lock_guard lock(waiter_.mutex());
  resultCode_ = code;
}

std::vector<NatPmpResponder::Request> NatPmpResponder::requests() {
  std::lock_guard lock(waiter_.mutex());
  return requests_;
}

bool NatPmpResponder::waitFor(std::chrono::milliseconds bound,
                              const std::function<bool(const std::vector<Request>&)>& predicate) {
  return waiter_.waitFor(bound, [&] { return predicate(requests_); });
}

void NatPmpResponder::serve() {
  for (;;) {
    pollfd fds[2] = {{wake_, POLLIN, 0}, {socket_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents != 0) return;
    uint8_t packet[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = ::recvfrom(socket_, packet, sizeof(packet), 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n >= 2) answer(packet, static_cast<size_t>(n), from);
  }
}

void NatPmpResponder::answer(const uint8_t* packet, size_t length, const sockaddr_in& from) {
  Request request;
  request.opcode = packet[1];
  request.at = std::chrono::steady_clock::now();
  const bool mapping = request.opcode == 1 || request.opcode == 2;
  if (mapping && length >= 12) {
    request.internalPort = get16(packet + 4);
    request.suggestedPort = get16(packet + 6);
    request.lifetime = get32(packet + 8);
  }
  uint8_t reply[16] = {};
  size_t replyLength = 0;
  {
    std::lock_guard lock(waiter_.mutex());
    requests_.push_back(request);
    waiter_.notify();
    if (mode_ == Mode::silent || packet[0] != 0 || (mapping && length < 12)) return;
    const uint16_t result = mode_ == Mode::refuse ? resultCode_ : 0;
    reply[1] = static_cast<uint8_t>(kResponseBit + request.opcode);
    put16(reply + 2, result);
    put32(reply + 4,
          static_cast<uint32_t>(
              std::chrono::duration_cast<std::chrono::seconds>(request.at - started_).count()));
    if (request.opcode == 0) {
      std::memcpy(reply + 8, &publicAddress_, 4);
      replyLength = 12;
    } else if (mapping) {
      // A request of lifetime 0 deletes: the answer carries port 0 and lifetime 0.
      const bool deletion = request.lifetime == 0;
      put16(reply + 8, request.internalPort);
      put16(reply + 10,
            deletion ? 0
                     : (request.suggestedPort != 0 ? request.suggestedPort : request.internalPort));
      put32(reply + 12, deletion ? 0 : std::min(request.lifetime, grantedLifetime_));
      replyLength = 16;
    } else {
      return;
    }
  }
  ::sendto(socket_, reply, replyLength, 0, reinterpret_cast<const sockaddr*>(&from), sizeof(from));
}

}  // namespace ombrelia::test
