#pragma once
// The HTTP client engine's thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/HttpBodyStream.hpp"

namespace ombrelia::platform {

// The unread ends of streamed bodies whose transfers have ended: what each still holds for its
// reader, counted in the client's budget of bodies in flight until the reader has taken it, and
// when the reader last took a piece, so that one that takes nothing can be made to give way.
class UnreadTails {
 public:
  using Clock = std::chrono::steady_clock;

  // Follows the unread end of `stream`, `bytes` long, of the transfer `identifier`.
  void add(uint64_t identifier, std::weak_ptr<HttpBodyStream> stream, size_t bytes,
           Clock::time_point now);
  // Its reader has left `unread` bytes: the bytes given back (a late or repeated word gives
  // back nothing). At 0 the end is no longer followed.
  size_t taken(uint64_t identifier, size_t unread, Clock::time_point now);
  // Lets go the ends whose reader took nothing for `idle`, each reader's next read failing: the
  // bytes given back.
  size_t dropIdle(Clock::duration idle, Clock::time_point now);
  size_t size() const { return tails_.size(); }

 private:
  struct Tail {
    std::weak_ptr<HttpBodyStream> stream;
    size_t counted = 0;
    Clock::time_point lastTaken;
  };
  std::unordered_map<uint64_t, Tail> tails_;
};

}  // namespace ombrelia::platform
