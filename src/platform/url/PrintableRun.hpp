#pragma once
// Any thread: stateless.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ombrelia {

// Skips, sixteen bytes at a time, a run of printable ASCII (0x21 to 0x7E) that holds none of a
// few bytes the caller names. A signed query of kilobytes in every line of a large playlist is
// such a run, and a byte-wise walk with a table lookup costs several times more. The caller goes
// on byte by byte from where this stops, with its own test as the only judge: this stops at or
// before the first byte outside the run, never after it.
class PrintableRun {
 public:
  PrintableRun() = delete;

  // The start of the first block of sixteen bytes from `from` on that holds a byte outside
  // 0x21-0x7E or one of `stops`; or the start of the last, shorter, block, which is not looked at.
  template <size_t N>
  static size_t skip(std::string_view text, size_t from, const char (&stops)[N]) {
    using Block = unsigned char __attribute__((vector_size(kBlockBytes)));
    using Mask = signed char __attribute__((vector_size(kBlockBytes)));
    // Each stop spread over a block once, before the walk: spread inside it, the compiler
    // spreads it again for every block, which costs more than a byte-wise walk saves.
    Block each[N - 1];
    for (size_t k = 0; k + 1 < N; ++k) each[k] = Block{} + static_cast<unsigned char>(stops[k]);
    // Outside 0x21-0x7E is past 0x5D once 0x21 is taken off, wrapping round below it.
    const Block lowest = Block{} + 0x21;
    const Block span = Block{} + 0x5D;
    size_t at = from;
    while (at + kBlockBytes <= text.size()) {
      Block block;
      std::memcpy(&block, text.data() + at, kBlockBytes);
      Mask outside = static_cast<Block>(block - lowest) > span;
      for (size_t k = 0; k + 1 < N; ++k) outside |= block == each[k];
      uint64_t halves[2];
      std::memcpy(halves, &outside, sizeof halves);
      if ((halves[0] | halves[1]) != 0) return at;
      at += kBlockBytes;
    }
    return at;
  }

 private:
  static constexpr size_t kBlockBytes = 16;
};

}  // namespace ombrelia
