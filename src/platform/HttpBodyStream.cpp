#include "platform/HttpBodyStream.hpp"

#include <algorithm>

namespace ombrelia::platform {

HttpBodyStream::HttpBodyStream(std::optional<uint64_t> expectedLength)
    : expectedLength_(expectedLength) {
  if (expectedLength_) receiving_.reserve(static_cast<size_t>(*expectedLength_));
}

HttpBodyStream::~HttpBodyStream() {
  for (auto& callback : ended_) callback();
  if (unreadFollower_) unreadFollower_(0);
}

void HttpBodyStream::whenEnded(std::function<void()> callback) {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::receiving) {
      ended_.push_back(std::move(callback));
      return;
    }
  }
  callback();
}

std::optional<std::optional<Data>> HttpBodyStream::takePieceLocked() {
  switch (state_) {
    case State::failed:
      return std::optional<std::optional<Data>>(std::in_place, std::nullopt);
    case State::complete:
      // All read: the end.
      if (cursor_ == receiving_.size())
        return std::optional<std::optional<Data>>(std::in_place, Data());
      break;
    case State::receiving:
      if (cursor_ == receiving_.size()) return std::nullopt;
      break;
  }
  // A copy: the buffer may still move as it grows, and what the reader has not taken yet can be
  // let go whatever the reader holds.
  const size_t length = std::min(kMaxPieceBytes, receiving_.size() - cursor_);
  Data piece(receiving_.data() + cursor_, length);
  cursor_ += length;
  if (state_ == State::complete && cursor_ == receiving_.size()) {
    // The last piece of an ended body: the buffer goes now, not when the reader next asks.
    receiving_ = std::string();
    cursor_ = 0;
  }
  return std::optional<std::optional<Data>>(std::in_place, std::move(piece));
}

size_t HttpBodyStream::unreadBytes() const {
  std::lock_guard lock(mutex_);
  return state_ == State::failed ? 0 : receiving_.size() - cursor_;
}

size_t HttpBodyStream::followUnread(std::function<void(size_t unread)> follower) {
  std::lock_guard lock(mutex_);
  if (state_ != State::complete || cursor_ == receiving_.size()) return 0;
  unreadFollower_ = std::move(follower);
  return receiving_.size() - cursor_;
}

bool HttpBodyStream::dropUnread() {
  std::function<void(size_t)> follower;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::complete || cursor_ == receiving_.size()) return false;
    state_ = State::failed;
    receiving_ = std::string();
    cursor_ = 0;
    follower.swap(unreadFollower_);
  }
  // Let go outside the lock, untold.
  follower = nullptr;
  return true;
}

std::pair<std::function<void(size_t)>, size_t> HttpBodyStream::unreadNewsLocked() {
  if (!unreadFollower_) return {};
  const size_t unread = state_ == State::complete ? receiving_.size() - cursor_ : 0;
  if (unread > 0) return {unreadFollower_, unread};
  std::function<void(size_t)> last;
  last.swap(unreadFollower_);
  return {std::move(last), 0};
}

bool HttpBodyStream::pauseUntilRead(std::function<void()> resume, size_t unread) {
  std::lock_guard lock(mutex_);
  if (state_ != State::receiving || receiving_.size() - cursor_ < std::max<size_t>(1, unread)) {
    return false;
  }
  paused_ = std::move(resume);
  return true;
}

void HttpBodyStream::readNext(ReadCompletion completion) {
  std::optional<std::optional<Data>> piece;
  std::function<void()> resume;
  std::pair<std::function<void(size_t)>, size_t> unread;
  {
    std::lock_guard lock(mutex_);
    piece = takePieceLocked();
    if (!piece) waiting_ = std::move(completion);
    resume.swap(paused_);
    if (piece) unread = unreadNewsLocked();
  }
  // The writer first: the next bytes are on their way while this piece is passed on.
  if (resume) resume();
  if (unread.first) unread.first(unread.second);
  if (piece) completion(std::move(*piece));
}

void HttpBodyStream::append(const char* bytes, size_t length) {
  ReadCompletion reader;
  std::optional<std::optional<Data>> piece;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::receiving || length == 0) return;
    // Not kept, the bytes taken make way in place once the buffer is full: each byte moves at
    // most once for every byte read since, and the buffer stays the size it was given.
    if (!keeping_ && cursor_ > 0 && receiving_.size() + length > receiving_.capacity()) {
      receiving_.erase(0, cursor_);
      cursor_ = 0;
    }
    receiving_.append(bytes, length);
    if (!waiting_) return;
    piece = takePieceLocked();
    reader = std::move(waiting_);
    waiting_ = nullptr;
  }
  reader(std::move(*piece));
}

Data HttpBodyStream::complete(bool unreadWanted) {
  end(State::complete, unreadWanted);
  std::lock_guard lock(mutex_);
  // The stream keeps only its unread end: the whole body is the completion's alone, and goes
  // when whoever takes it lets it go.
  return std::exchange(whole_, Data());
}

size_t HttpBodyStream::stopKeeping() {
  std::lock_guard lock(mutex_);
  if (state_ != State::receiving) return 0;
  const size_t unread = receiving_.size() - cursor_;
  if (!keeping_) return unread;
  keeping_ = false;
  // A buffer of its own, twice what a reader may leave unread: what the kept body had reserved
  // (its whole length) goes now.
  std::string rest;
  rest.reserve(std::max(unread, kMaxUnreadBytes) + kMaxUnreadBytes);
  rest.append(receiving_, cursor_, unread);
  receiving_.swap(rest);
  cursor_ = 0;
  return unread;
}

bool HttpBodyStream::keeping() const {
  std::lock_guard lock(mutex_);
  return keeping_;
}

void HttpBodyStream::fail() { end(State::failed); }

void HttpBodyStream::end(State to, bool unreadWanted) {
  ReadCompletion reader;
  std::optional<std::optional<Data>> piece;
  std::vector<std::function<void()>> ended;
  std::function<void()> resume;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::receiving) return;
    resume.swap(paused_);
    if (to == State::complete) {
      // What the reader has not taken yet, in a buffer of its own and of its size (a kept body
      // is the completion's, a body not kept had room reserved ahead).
      std::string unread = unreadWanted ? std::string(receiving_, cursor_) : std::string();
      if (keeping_) whole_ = Data(std::move(receiving_));
      receiving_ = std::move(unread);
    } else {
      receiving_ = std::string();
    }
    cursor_ = 0;
    state_ = to;
    ended.swap(ended_);
    if (waiting_) {
      piece = takePieceLocked();
      reader = std::move(waiting_);
      waiting_ = nullptr;
    }
  }
  // The end callbacks first: a reader told of the end finds them done.
  for (auto& callback : ended) callback();
  if (reader) reader(std::move(*piece));
  // Whoever paused for the reader is not left waiting on a body that has ended.
  if (resume) resume();
}

}  // namespace ombrelia::platform
