#include "webserver/core/WebServerDates.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

namespace ombrelia {
namespace {

// Dates are computed by hand from the proleptic Gregorian calendar: strftime and the stream
// facets depend on the process locale, and the formats here are fixed English texts.
constexpr std::array<std::string_view, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct CivilTime {
  int64_t year;
  unsigned month; // 1...12
  unsigned day;   // 1...31
  unsigned hour, minute, second;
  unsigned weekday; // 0 = Sunday
};

// Howard Hinnant's days_from_civil and civil_from_days.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

CivilTime civilFromSeconds(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CivilTime t{};
  t.hour = static_cast<unsigned>(rest / 3600);
  t.minute = static_cast<unsigned>((rest % 3600) / 60);
  t.second = static_cast<unsigned>(rest % 60);
  t.weekday = static_cast<unsigned>(((days % 7) + 7 + 4) % 7); // 1970-01-01 was a Thursday
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  t.day = doy - (153 * mp + 2) / 5 + 1;
  t.month = mp < 10 ? mp + 3 : mp - 9;
  t.year = static_cast<int64_t>(yoe) + era * 400 + (t.month <= 2);
  return t;
}

int64_t secondsOf(WebServerDate date) {
  return std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
}

unsigned daysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `count` digits at `pos`.
bool readDigits(std::string_view text, size_t &pos, size_t count, unsigned &value) {
  if (pos + count > text.size())
    return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  pos += count;
  return true;
}

bool readLiteral(std::string_view text, size_t &pos, std::string_view literal) {
  if (text.substr(pos, literal.size()) != literal)
    return false;
  pos += literal.size();
  return true;
}

std::optional<WebServerDate> makeDate(unsigned year, unsigned month, unsigned day, unsigned hour,
                                      unsigned minute, unsigned second) {
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  const int64_t seconds =
      daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  // The clock counts nanoseconds in 64 bits, from 1677 to 2262: a four-digit year a client
  // sends may lie outside, and converting it would overflow.
  using Seconds = std::chrono::seconds;
  const auto earliest = std::chrono::ceil<Seconds>(WebServerDate::min().time_since_epoch());
  const auto latest = std::chrono::floor<Seconds>(WebServerDate::max().time_since_epoch());
  if (seconds < earliest.count() || seconds > latest.count()) return std::nullopt;
  return WebServerDate(Seconds(seconds));
}

} // namespace

std::string WebServerFormatRFC822(WebServerDate date) {
  const CivilTime t = civilFromSeconds(secondsOf(date));
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.3s, %02u %.3s %04lld %02u:%02u:%02u GMT",
                kWeekdays[t.weekday].data(), t.day, kMonths[t.month - 1].data(),
                static_cast<long long>(t.year), t.hour, t.minute, t.second);
  return buffer;
}

std::optional<WebServerDate> WebServerParseRFC822(std::string_view text) {
  size_t pos = 0;
  bool weekdayFound = false;
  for (std::string_view weekday : kWeekdays) {
    if (text.substr(0, 3) == weekday)
      weekdayFound = true;
  }
  if (!weekdayFound)
    return std::nullopt;
  pos = 3;
  unsigned day = 0, year = 0, hour = 0, minute = 0, second = 0, month = 0;
  if (!readLiteral(text, pos, ", ") || !readDigits(text, pos, 2, day) ||
      !readLiteral(text, pos, " ")) {
    return std::nullopt;
  }
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (text.substr(pos, 3) == kMonths[i])
      month = static_cast<unsigned>(i + 1);
  }
  if (month == 0)
    return std::nullopt;
  pos += 3;
  if (!readLiteral(text, pos, " ") || !readDigits(text, pos, 4, year) ||
      !readLiteral(text, pos, " ") || !readDigits(text, pos, 2, hour) ||
      !readLiteral(text, pos, ":") || !readDigits(text, pos, 2, minute) ||
      !readLiteral(text, pos, ":") || !readDigits(text, pos, 2, second) ||
      !readLiteral(text, pos, " GMT") || pos != text.size()) {
    return std::nullopt;
  }
  return makeDate(year, month, day, hour, minute, second);
}

std::string WebServerFormatISO8601(WebServerDate date) {
  const CivilTime t = civilFromSeconds(secondsOf(date));
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%04lld-%02u-%02uT%02u:%02u:%02u+00:00",
                static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second);
  return buffer;
}

std::optional<WebServerDate> WebServerParseISO8601(std::string_view text) {
  size_t pos = 0;
  unsigned day = 0, year = 0, hour = 0, minute = 0, second = 0, month = 0;
  if (!readDigits(text, pos, 4, year) || !readLiteral(text, pos, "-") ||
      !readDigits(text, pos, 2, month) || !readLiteral(text, pos, "-") ||
      !readDigits(text, pos, 2, day) || !readLiteral(text, pos, "T") ||
      !readDigits(text, pos, 2, hour) || !readLiteral(text, pos, ":") ||
      !readDigits(text, pos, 2, minute) || !readLiteral(text, pos, ":") ||
      !readDigits(text, pos, 2, second) || !readLiteral(text, pos, "+00:00") ||
      pos != text.size()) {
    return std::nullopt;
  }
  return makeDate(year, month, day, hour, minute, second);
}

} // namespace ombrelia
