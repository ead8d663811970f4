#include "platform/HttpBodyStream.hpp"

#include <algorithm>

namespace ombrelia::platform {

HttpBodyStream::HttpBodyStream(std::optional<uint64_t> expectedLength)
    : expectedLength_(expectedLength) {
  if (expectedLength_) receiving_.reserve(static_cast<size_t>(*expectedLength_));
}

HttpBodyStream::~HttpBodyStream() {
  for (auto& callback : ended_) callback();
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
    case State::complete: {
      // Shared, not copied: the rest goes in one piece, as a stored segment would.
      const size_t length = whole_.size() - cursor_;
      Data piece = whole_.slice(cursor_, length);  // empty once all is read: the end
      cursor_ += length;
      return std::optional<std::optional<Data>>(std::in_place, std::move(piece));
    }
    case State::receiving:
      break;
  }
  if (cursor_ == receiving_.size()) return std::nullopt;
  // A copy: the buffer may still move as it grows.
  const size_t length = std::min(kMaxPieceBytes, receiving_.size() - cursor_);
  Data piece(receiving_.data() + cursor_, length);
  cursor_ += length;
  return std::optional<std::optional<Data>>(std::in_place, std::move(piece));
}

size_t HttpBodyStream::unreadBytes() const {
  std::lock_guard lock(mutex_);
  return state_ == State::receiving ? receiving_.size() - cursor_ : 0;
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
  {
    std::lock_guard lock(mutex_);
    piece = takePieceLocked();
    if (!piece) waiting_ = std::move(completion);
    resume.swap(paused_);
  }
  // The writer first: the next bytes are on their way while this piece is passed on.
  if (resume) resume();
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

Data HttpBodyStream::complete() {
  end(State::complete);
  std::lock_guard lock(mutex_);
  return keeping_ ? whole_ : Data();
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

void HttpBodyStream::end(State to) {
  ReadCompletion reader;
  std::optional<std::optional<Data>> piece;
  std::vector<std::function<void()>> ended;
  std::function<void()> resume;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::receiving) return;
    resume.swap(paused_);
    if (to == State::complete) whole_ = Data(std::move(receiving_));
    receiving_ = std::string();
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
