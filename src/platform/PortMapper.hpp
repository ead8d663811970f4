#pragma once
// Owner thread: create() and stop(). Updates run on the mapper's own thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Expected.hpp"

namespace ombrelia::platform {

// Keeps one TCP port mapped on the default gateway through NAT-PMP (RFC 6886): asks for the
// gateway's public address and for the mapping of the private port to the same public port,
// renews the mapping at half the lifetime the gateway granted, retries a failed round with a
// capped backoff, and deletes the mapping when stopped. Requests are retransmitted at 250 ms,
// then doubling, as the RFC asks; a gateway silent through every attempt does not speak NAT-PMP.
class PortMapper {
 public:
  // One change of the mapping: the public address and port, or the libnatpmp error (negative)
  // that ended the last round.
  struct Update {
    int error = 0;
    std::string publicAddress;
    uint16_t publicPort = 0;
  };
  using UpdateHandler = std::function<void(const Update& update)>;

  // The RFC's recommended lifetime for a mapping nobody asked a lifetime for: two hours.
  static constexpr uint32_t kDefaultLifetimeSeconds = 7200;
  // Requests sent before the gateway is taken not to answer (the RFC's nine: about two minutes).
  static constexpr int kMaxAttempts = 9;
  // The delete at stop waits for its answer through this many attempts (250 + 500 ms), so that
  // stopping a server behind a gateway that went silent stays quick.
  static constexpr int kDeleteAttempts = 2;
  // A gateway granting a lifetime of a second or two is renewed no faster than this.
  static constexpr std::chrono::seconds kMinRenewInterval{1};

  // Finds the default gateway and opens the socket to it, then starts mapping `privatePort`.
  // Fails with libnatpmp's error (no default route, no socket).
  [[nodiscard]] static Expected<std::shared_ptr<PortMapper>, int> create(uint16_t privatePort,
                                                                         UpdateHandler onUpdate);
  ~PortMapper();
  PortMapper(const PortMapper&) = delete;
  PortMapper& operator=(const PortMapper&) = delete;

  // Deletes the mapping when one was asked for, waiting a bounded time for the gateway's answer,
  // and ends the thread; no update runs after it returns.
  void stop();

  // Fewer attempts than the RFC's nine, so a test of a silent gateway ends in seconds.
  static void setMaxAttemptsForTesting(int attempts);

  struct Impl;

 private:
  explicit PortMapper(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ombrelia::platform
