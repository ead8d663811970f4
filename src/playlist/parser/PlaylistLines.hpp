#pragma once
// Any thread: stateless.

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/LineSplitter.hpp"

namespace ombrelia {

// The lines of playlist text exactly as LineSplitter gives them, found with memchr where the
// text breaks its lines with LF alone, as nearly every playlist does: LineSplitter looks at each
// byte, and a playlist of 14 MB passes through several walks on its way to a player. Each line
// is checked for other breaks as it is found, never the whole text once more ahead of the walk.
class PlaylistLines {
 public:
  PlaylistLines() = delete;

  // As LineSplitter::forEach: `sink` gets each line in turn; one returning a bool stops the walk
  // by returning false.
  template <typename Sink>
  static void forEach(std::string_view text, Sink&& sink) {
    size_t start = 0;
    for (;;) {
      const void* at = start < text.size()
                           ? std::memchr(text.data() + start, '\n', text.size() - start)
                           : nullptr;
      const size_t end = at == nullptr
                             ? text.size()
                             : static_cast<size_t>(static_cast<const char*>(at) - text.data());
      // Each line is looked at while memchr has just brought it in. One that holds another
      // break, or the lead byte of one, goes to LineSplitter with the rest of the text: the
      // lines before it broke at LF alone, so its walk from here finds what a walk of the whole
      // text would.
      if (!breaksOnlyAtLineFeeds(text.substr(start, end - start))) {
        return LineSplitter::forEach(text.substr(start), std::forward<Sink>(sink));
      }
      if (at == nullptr) break;
      if (!LineSplitter::goesOn(sink, text.substr(start, end - start))) return;
      start = end + 1;
    }
    LineSplitter::goesOn(sink, text.substr(start));
  }

  // As LineSplitter::count.
  static size_t count(std::string_view text) {
    size_t lines = 0;
    forEach(text, [&lines](std::string_view) { ++lines; });
    return lines;
  }

  // As LineSplitter::split: counted first, so that the room made is what the lines take.
  static std::vector<std::string_view> split(std::string_view text) {
    std::vector<std::string_view> lines;
    lines.reserve(count(text));
    forEach(text, [&lines](std::string_view line) { lines.push_back(line); });
    return lines;
  }

  // As LineSplitter::split: fills at most `capacity` lines into `out` and returns how many lines
  // the text has in all.
  static size_t split(std::string_view text, std::string_view* out, size_t capacity) {
    size_t lines = 0;
    forEach(text, [&](std::string_view line) {
      if (lines < capacity) out[lines] = line;
      ++lines;
    });
    return lines;
  }

  // Whether LF is the only line break the text holds: none of the other breaks (VT, FF, CR), nor
  // a lead byte of one (C2, E2), is in it. Looked at sixteen bytes at a time.
  static bool breaksOnlyAtLineFeeds(std::string_view text) {
    using Block = unsigned char __attribute__((vector_size(kBlockBytes)));
    using Mask = signed char __attribute__((vector_size(kBlockBytes)));
    size_t at = 0;
    for (; at + kBlockBytes <= text.size(); at += kBlockBytes) {
      Block block;
      std::memcpy(&block, text.data() + at, kBlockBytes);
      // VT, FF and CR are 0x0B to 0x0D: one unsigned comparison takes the three.
      const Mask other = (static_cast<Block>(block - 0x0B) < 3) | (block == 0xC2) | (block == 0xE2);
      uint64_t halves[2];
      std::memcpy(halves, &other, sizeof halves);
      if ((halves[0] | halves[1]) != 0) return false;
    }
    for (; at < text.size(); ++at) {
      const auto c = static_cast<unsigned char>(text[at]);
      if ((c >= 0x0B && c <= 0x0D) || c == 0xC2 || c == 0xE2) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kBlockBytes = 16;
};

}  // namespace ombrelia
