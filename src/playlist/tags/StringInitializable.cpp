#include "playlist/tags/StringInitializable.hpp"

#include <charconv>
#include <cmath>

namespace ombrelia {
namespace {

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<int64_t> StringInitializable<int64_t>::make(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string_view digits = text;
  // from_chars takes a "-" but not a "+"; a sign must be followed by a digit.
  const size_t signLength = (digits.front() == '+' || digits.front() == '-') ? 1 : 0;
  if (digits.size() == signLength || !isDecimalDigit(digits[signLength])) return std::nullopt;
  if (digits.front() == '+') digits.remove_prefix(1);
  const char* first = digits.data();
  int64_t value = 0;
  const char* last = digits.data() + digits.size();
  auto [end, ec] = std::from_chars(first, last, value, 10);
  if (ec != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<double> StringInitializable<double>::make(std::string_view text) {
  // Validate the shape first: from_chars would also take "inf", "nan" and hexadecimal forms.
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t mantissaStart = i;
  size_t digitCount = 0;
  while (i < n && isDecimalDigit(text[i])) ++i, ++digitCount;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && isDecimalDigit(text[i])) ++i, ++digitCount;
  }
  if (digitCount == 0) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponentDigits = 0;
    while (i < n && isDecimalDigit(text[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;

  const bool negative = mantissaStart > 0 && text[0] == '-';
  std::string_view body = text.substr(mantissaStart);
  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec != std::errc() || end != body.data() + body.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace ombrelia
