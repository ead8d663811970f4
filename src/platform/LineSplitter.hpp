#pragma once
// Any thread: stateless.

#include <array>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ombrelia {

// Splits playlist text into lines. A line ends at LF, VT, FF, CR, U+0085, U+2028 or U+2029, and a
// CR followed by LF is one line break (playlists written on Windows or served by some CDNs use
// CR LF; taking it as two breaks would give every tag an empty line as its continuation).
// The text is walked by UTF-8 code points, so the byte 0x85 inside another character (such as
// "Å", C3 85) is not a break. A break at the end gives a final empty line; empty text gives one
// empty line.
class LineSplitter {
 public:
  LineSplitter() = delete;

  static std::vector<std::string_view> split(std::string_view text);
  // Splits without allocating: fills at most `capacity` lines into `out` and returns how many
  // lines the text has in all.
  static size_t split(std::string_view text, std::string_view* out, size_t capacity);
  static std::vector<std::string> splitCopy(std::string_view text);
  // How many lines the text has, without keeping any.
  static size_t count(std::string_view text) { return split(text, nullptr, 0); }
  // The length of the line break starting at `i`, or 0 when none starts there.
  static size_t breakLength(std::string_view text, size_t i);

  // Calls `sink` with each line in turn, keeping none: what reads a large playlist once needs no
  // list of its lines. A sink that returns a bool stops the walk by returning false.
  template <typename Sink>
  static void forEach(std::string_view text, Sink&& sink) {
    size_t start = 0;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
      while (i < n && !mayStartBreak(static_cast<unsigned char>(text[i]))) ++i;
      if (i == n) break;
      const size_t length = breakLength(text, i);
      if (length == 0) {
        ++i;
        continue;
      }
      if (!goesOn(sink, text.substr(start, i - start))) return;
      i += length;
      start = i;
    }
    goesOn(sink, text.substr(start));
  }

  // Hands `line` to a forEach sink: whether the walk goes on (a sink returning nothing always
  // lets it). Shared with the walks that find the same lines another way.
  template <typename Sink>
  static bool goesOn(Sink& sink, std::string_view line) {
    if constexpr (std::is_same_v<std::invoke_result_t<Sink&, std::string_view>, bool>) {
      return sink(line);
    } else {
      sink(line);
      return true;
    }
  }

 private:
  // LF, VT, FF, CR, and the lead bytes of U+0085 (C2 85) and of U+2028 and U+2029 (E2 80 A8,
  // E2 80 A9). Lead bytes never occur inside another UTF-8 character, so a byte-wise scan splits
  // on code points: the 85 of "Å" (C3 85) is no break.
  // Looked up rather than compared: every byte of every playlist passes here, several times.
  static constexpr std::array<bool, 256> kMayStartBreak = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : {'\n', '\v', '\f', '\r', '\xC2', '\xE2'}) table[c] = true;
    return table;
  }();
  static constexpr bool mayStartBreak(unsigned char c) { return kMayStartBreak[c]; }
};

}  // namespace ombrelia
