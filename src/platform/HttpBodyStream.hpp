#pragma once
// Any thread: the HTTP client's thread appends and ends the body; one reader reads it from any
// thread, one read at a time; a read completes on the reader's thread or on the client's.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ombrelia/Data.hpp>

namespace ombrelia::platform {

// The body of one answer while it arrives, for a reader that passes it on before it is whole.
// Every byte is kept to the end, because the whole body is what the transfer completes with (for
// the segment store), until the client runs short of room: then the body stops being kept
// (stopKeeping), the bytes the reader has taken go, and the reader still gets every byte.
// The transfer runs at most kMaxUnreadBytes ahead of its reader (pauseUntilRead): a reader that
// takes nothing keeps no more than that of a body it may never read. Once the body has ended, the
// stream holds only what its reader has not taken yet, in a buffer of its own (the whole body
// goes with the completion), so that its owner can count it until it is read (followUnread) and
// let it go (dropUnread).
class HttpBodyStream {
 public:
  // How far a transfer may run ahead of its reader: a few hundred milliseconds of a fast origin,
  // so a reader that keeps up never waits for it, and twelve players that read nothing hold a
  // few dozen MiB rather than their whole segments.
  static constexpr size_t kMaxUnreadBytes = 2u << 20;

  // The most a read copies out: what a reader holds besides the body.
  static constexpr size_t kMaxPieceBytes = 256 * 1024;

  // Bytes, empty bytes once the whole body has been read, or nothing when the body failed.
  using ReadCompletion = std::function<void(std::optional<Data> piece)>;

  // `expectedLength`: the body's exact length when the answer declared it for the decoded
  // bytes; its buffer is then reserved once.
  explicit HttpBodyStream(std::optional<uint64_t> expectedLength);
  HttpBodyStream(const HttpBodyStream&) = delete;
  HttpBodyStream& operator=(const HttpBodyStream&) = delete;
  // A stream let go before it ended still runs its end callback, so that whatever was held
  // until the end is never stranded.
  ~HttpBodyStream();

  const std::optional<uint64_t>& expectedLength() const { return expectedLength_; }

  // Writer side. append() before either end; complete() or fail() once.
  void append(const char* bytes, size_t length);
  // The whole body as one buffer, the completion's alone; empty when it was not kept. With
  // `unreadWanted`, what the reader has not taken yet stays for it; without, nobody is left to
  // read it, and it goes.
  Data complete(bool unreadWanted = true);
  // From now on only what the reader has not taken yet is held: the body is no longer kept
  // whole. Returns the bytes still held.
  size_t stopKeeping();
  bool keeping() const;
  // The reader is told, and the bytes are let go.
  void fail();

  // `callback` runs once, when the body has ended whole or failed, on the thread that ends it
  // (at once when it already has). Callbacks run in the order they were given, and before a
  // waiting reader hears of the end.
  void whenEnded(std::function<void()> callback);

  // Bytes arrived that the reader has not taken yet, while the body arrives or once it has ended
  // whole.
  size_t unreadBytes() const;
  // Once the body has ended whole: the bytes its reader has not taken yet, and `follower` is
  // told what is left unread each time the reader takes a piece, then 0 once, when all is taken
  // or the stream goes (on the thread that does it). 0, and `follower` dropped, when nothing is
  // left unread or the body has not ended whole.
  size_t followUnread(std::function<void(size_t unread)> follower);
  // Once the body has ended whole: lets what its reader has not taken yet go, and the reader's
  // next read fails, as if the body had broken off. The follower is dropped untold: whoever
  // drops the end knows. False when nothing was left to drop.
  bool dropUnread();
  // When the reader has left at least `unread` bytes unread: true, and `resume` runs once (on
  // the reader's thread, or the one that ends the body) as soon as the reader takes a piece or
  // the body ends. False, and `resume` is dropped, when the reader is close enough behind.
  bool pauseUntilRead(std::function<void()> resume, size_t unread = kMaxUnreadBytes);

  // The next piece after the previous one. Completes at once when bytes are there or the body
  // has ended; otherwise as soon as more arrive or it ends.
  void readNext(ReadCompletion completion);

 private:
  enum class State { receiving, complete, failed };

  // Ends the body whole or failed, once: the end callbacks run, then a waiting reader hears.
  void end(State to, bool unreadWanted = true);
  // The piece at the reader's cursor, moving it; nothing when no bytes wait and the body has
  // not ended. Called with mutex_ held.
  std::optional<std::optional<Data>> takePieceLocked();
  // The follower and what is left unread, for it to be told outside the lock; the follower is
  // handed over for good once nothing is left. Called with mutex_ held.
  std::pair<std::function<void(size_t)>, size_t> unreadNewsLocked();

  const std::optional<uint64_t> expectedLength_;
  mutable std::mutex mutex_;  // guards everything below
  State state_ = State::receiving;
  bool keeping_ = true;
  // The bytes so far while receiving; once the body is not kept, from some byte the reader has
  // taken on; once it has ended whole, what the reader has not taken yet.
  std::string receiving_;
  Data whole_;         // once complete, until complete() hands it over
  size_t cursor_ = 0;  // the reader's offset in receiving_
  std::function<void(size_t)> unreadFollower_;
  ReadCompletion waiting_;
  std::function<void()> paused_;  // the writer's, until the reader takes a piece
  std::vector<std::function<void()>> ended_;
};

}  // namespace ombrelia::platform
