#pragma once
// Any thread: a pure function.

#include <cstddef>
#include <string>

namespace ombrelia::test {

// `size` bytes that repeat no short run, so that a byte lost, doubled or moved anywhere in a
// body shows: byte i is i * step + i / run (mod 256). Tests that keep two bodies apart pick
// different steps and runs.
inline std::string patternedBytes(size_t size, size_t step, size_t run) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * step + i / run);
  return bytes;
}

}  // namespace ombrelia::test
