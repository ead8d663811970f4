#include "platform/url/Ipv6Host.hpp"

#include <utility>

#include "platform/url/UriCharacters.hpp"

namespace ombrelia {

std::optional<Ipv6Host::Pieces> Ipv6Host::parse(std::string_view text) {
  Pieces address{};
  size_t pieceIndex = 0;
  std::optional<size_t> compress;
  size_t at = 0;
  auto peek = [&text](size_t i) { return i < text.size() ? text[i] : '\0'; };

  if (peek(at) == ':') {
    if (peek(at + 1) != ':') return std::nullopt;
    at += 2;
    compress = ++pieceIndex;
  }
  while (at < text.size()) {
    if (pieceIndex == 8) return std::nullopt;
    if (text[at] == ':') {
      if (compress) return std::nullopt;
      ++at;
      compress = ++pieceIndex;
      continue;
    }
    unsigned value = 0;
    size_t length = 0;
    while (length < 4 && at < text.size() && UriCharacters::isHex(text[at])) {
      value = value * 16 + static_cast<unsigned>(UriCharacters::hexValue(text[at]));
      ++at;
      ++length;
    }
    if (peek(at) == '.') {
      // The last two pieces written as an IPv4 address: four decimal parts, no leading zeros.
      if (length == 0) return std::nullopt;
      at -= length;
      if (pieceIndex > 6) return std::nullopt;
      int numbersSeen = 0;
      while (at < text.size()) {
        if (numbersSeen > 0) {
          if (text[at] != '.' || numbersSeen >= 4) return std::nullopt;
          ++at;
        }
        if (!UriCharacters::isDigit(peek(at))) return std::nullopt;
        std::optional<unsigned> part;
        while (UriCharacters::isDigit(peek(at))) {
          const auto digit = static_cast<unsigned>(text[at] - '0');
          if (part == 0u) return std::nullopt;
          part = part ? *part * 10 + digit : digit;
          if (*part > 255) return std::nullopt;
          ++at;
        }
        address[pieceIndex] = static_cast<uint16_t>(address[pieceIndex] * 0x100 + *part);
        ++numbersSeen;
        if (numbersSeen == 2 || numbersSeen == 4) ++pieceIndex;
      }
      if (numbersSeen != 4) return std::nullopt;
      break;
    }
    if (peek(at) == ':') {
      ++at;
      if (at == text.size()) return std::nullopt;
    } else if (at < text.size()) {
      return std::nullopt;
    }
    address[pieceIndex++] = static_cast<uint16_t>(value);
  }
  if (compress) {
    // Move the pieces after "::" to the end; the zeros between stand for the run.
    size_t swaps = pieceIndex - *compress;
    pieceIndex = 7;
    while (pieceIndex != 0 && swaps > 0) {
      std::swap(address[pieceIndex], address[*compress + swaps - 1]);
      --pieceIndex;
      --swaps;
    }
  } else if (pieceIndex != 8) {
    return std::nullopt;
  }
  return address;
}

std::string Ipv6Host::serialize(const Pieces& pieces) {
  // The first longest run of two or more zero pieces becomes "::".
  size_t compress = pieces.size();
  size_t longest = 1;
  for (size_t i = 0; i < pieces.size();) {
    size_t run = 0;
    while (i + run < pieces.size() && pieces[i + run] == 0) ++run;
    if (run > longest) {
      longest = run;
      compress = i;
    }
    i += run > 0 ? run : 1;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i == compress) {
      out += i == 0 ? "::" : ":";
      i += longest - 1;
      continue;
    }
    const uint16_t piece = pieces[i];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (piece >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        out.push_back(kHex[digit]);
        started = true;
      }
    }
    if (i != 7) out.push_back(':');
  }
  return out;
}

}  // namespace ombrelia
