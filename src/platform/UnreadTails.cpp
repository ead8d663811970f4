#include "platform/UnreadTails.hpp"

#include <utility>

namespace ombrelia::platform {

void UnreadTails::add(uint64_t identifier, std::weak_ptr<HttpBodyStream> stream, size_t bytes,
                      Clock::time_point now) {
  tails_[identifier] = Tail{std::move(stream), bytes, now};
}

size_t UnreadTails::taken(uint64_t identifier, size_t unread, Clock::time_point now) {
  auto found = tails_.find(identifier);
  if (found == tails_.end()) return 0;
  Tail& tail = found->second;
  // Words from the reader's thread may come in any order after a drop; what is counted only
  // ever goes down.
  if (unread >= tail.counted) return 0;
  const size_t freed = tail.counted - unread;
  if (unread == 0) {
    tails_.erase(found);
  } else {
    tail.counted = unread;
    tail.lastTaken = now;
  }
  return freed;
}

size_t UnreadTails::dropIdle(Clock::duration idle, Clock::time_point now) {
  size_t freed = 0;
  for (auto it = tails_.begin(); it != tails_.end();) {
    if (now - it->second.lastTaken < idle) {
      ++it;
      continue;
    }
    if (auto stream = it->second.stream.lock()) stream->dropUnread();
    freed += it->second.counted;
    it = tails_.erase(it);
  }
  return freed;
}

}  // namespace ombrelia::platform
