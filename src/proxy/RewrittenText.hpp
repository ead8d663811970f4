#pragma once
// One thread at a time: a value being built.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ombrelia {

// A rewritten playlist as it is built, piece by piece, with a bound on its size. One growing
// string copies what it holds each time it outgrows its room, and so holds it twice for a
// moment; this text grows in blocks instead, handed over as they are (or joined once at the end,
// each freed as soon as it is copied). Building it holds at most the text and one block.
class RewrittenText {
 public:
  // Large enough that sending or joining costs a few dozen steps at the largest, small enough
  // that the last one adds little to what is held.
  static constexpr size_t kBlockBytes = 1024 * 1024;

  // Room for `expected` bytes (at most `maxBytes`) is made at once; past it, a block at a time.
  RewrittenText(size_t maxBytes, size_t expected);

  // A piece that would take it past maxBytes() is not kept, nor is anything after it: the text
  // never holds more than its bound, however long one piece is.
  void append(std::string_view piece);
  void push_back(char c) { append(std::string_view(&c, 1)); }
  size_t size() const { return size_; }
  size_t maxBytes() const { return maxBytes_; }
  // A piece would have taken it past maxBytes(): whoever builds it stops.
  bool passed() const { return passed_; }

  // The whole text.
  std::string take() &&;
  // The text in the blocks it was built in, none empty.
  std::vector<std::string> takePieces() &&;

 private:
  size_t maxBytes_;
  size_t size_ = 0;
  bool passed_ = false;
  std::vector<std::string> blocks_;
};

}  // namespace ombrelia
