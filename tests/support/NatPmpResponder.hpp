#pragma once
// Test thread, plus the responder's own thread, which answers; the readers lock.

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/Waiter.hpp"

namespace ombrelia::test {

// A NAT-PMP gateway (RFC 6886) for tests: listens on UDP port 5351 of one address, records
// every request, and answers public-address and mapping requests as it is told: with a mapping
// of the suggested port, with a result code of refusal, or not at all.
class NatPmpResponder {
 public:
  enum class Mode { answer, refuse, silent };
  struct Request {
    uint8_t opcode = 0;  // 0 public address, 1 UDP mapping, 2 TCP mapping
    uint16_t internalPort = 0;
    uint16_t suggestedPort = 0;
    uint32_t lifetime = 0;
    std::chrono::steady_clock::time_point at;
  };

  NatPmpResponder(const std::string& address, Mode mode);
  ~NatPmpResponder();
  NatPmpResponder(const NatPmpResponder&) = delete;
  NatPmpResponder& operator=(const NatPmpResponder&) = delete;

  bool listening() const { return socket_ >= 0; }
  // What later answers carry.
  void setPublicAddress(const std::string& address);
  void setGrantedLifetime(uint32_t seconds);
  void setResultCode(uint16_t code);  // the code of refusals (2: not authorised)

  std::vector<Request> requests();
  // True once the requests so far satisfy the predicate, false at the bound.
  bool waitFor(std::chrono::milliseconds bound,
               const std::function<bool(const std::vector<Request>&)>& predicate);

 private:
  void serve();
  void answer(const uint8_t* packet, size_t length, const sockaddr_in& from);

  Mode mode_;
  int socket_ = -1;
  int wake_ = -1;
  std::thread thread_;
  Waiter waiter_;
  // Guarded by waiter_.mutex().
  std::vector<Request> requests_;
  in_addr publicAddress_{};
  uint32_t grantedLifetime_ = 7200;
  uint16_t resultCode_ = 2;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace ombrelia::test
