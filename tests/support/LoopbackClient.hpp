#pragma once
// One thread: a client socket is used by the test thread that made it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/WaitScale.hpp"

namespace ombrelia::test {

// A raw TCP client on 127.0.0.1 or ::1, for tests that must control every byte on the wire.
// Every wait is bounded.
class LoopbackClient {
public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

  static std::optional<LoopbackClient> connect(uint16_t port, bool ipv6 = false);
  LoopbackClient(LoopbackClient &&other) noexcept;
  LoopbackClient &operator=(LoopbackClient &&other) noexcept;
  ~LoopbackClient();

  bool send(std::string_view bytes);
  // Reads until the server closes the connection (or the timeout); returns what arrived.
  std::string readAll(std::chrono::milliseconds timeout = scaledWait(kDefaultTimeout));
  // Reads until `needle` has arrived (or the server closes, or the timeout).
  std::string readUntil(std::string_view needle,
                        std::chrono::milliseconds timeout = scaledWait(kDefaultTimeout));
  // Reads until `bytes` have arrived in all (or the server closes, or the timeout).
  std::string readAtLeast(size_t bytes,
                          std::chrono::milliseconds timeout = scaledWait(kDefaultTimeout));
  // True when the server closed (or reset) the connection within the timeout.
  bool waitForClose(std::chrono::milliseconds timeout = scaledWait(kDefaultTimeout));
  // True when the connection ended with a reset rather than a clean close.
  bool wasReset() const { return reset_; }
  void close();
  int descriptor() const { return fd_; }
  const std::string &received() const { return received_; }

private:
  explicit LoopbackClient(int fd) : fd_(fd) {}
  // One bounded read into received_; false when the connection ended or the time is up.
  bool readSome(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool closed_ = false;
  bool reset_ = false;
  std::string received_;
};

} // namespace ombrelia::test
