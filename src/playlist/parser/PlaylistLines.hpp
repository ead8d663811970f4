#pragma once
// Any thread: stateless.

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/LineSplitter.hpp"

namespace ombrelia {

// The lines of playlist text exactly as LineSplitter gives them, found with memchr where the
// text breaks its lines with LF alone, as nearly every playlist does: LineSplitter looks at each
// byte, and a playlist of 14 MB passes through several walks on its way to a player.
class PlaylistLines {
 public:
  PlaylistLines() = delete;

  // As LineSplitter::forEach: `sink` gets each line in turn; one returning a bool stops the walk
  // by returning false.
  template <typename Sink>
  static void forEach(std::string_view text, Sink&& sink) {
    if (!breaksOnlyAtLineFeeds(text)) return LineSplitter::forEach(text, std::forward<Sink>(sink));
    size_t start = 0;
    while (start < text.size()) {
      const void* at = std::memchr(text.data() + start, '\n', text.size() - start);
      if (at == nullptr) break;
      const auto end = static_cast<size_t>(static_cast<const char*>(at) - text.data());
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

  // Whether LF is the only line break the text holds: none of the other breaks, nor a lead byte
  // of one, is in it. Each memchr passes over the text many times faster than a byte-wise walk.
  static bool breaksOnlyAtLineFeeds(std::string_view text) {
    if (text.empty()) return true;
    for (const char c : {'\r', '\v', '\f', '\xC2', '\xE2'}) {
      if (std::memchr(text.data(), c, text.size()) != nullptr) return false;
    }
    return true;
  }
};

}  // namespace ombrelia
