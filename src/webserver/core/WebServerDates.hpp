#pragma once
// Any thread: no shared state, no process locale.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ombrelia {

using WebServerDate = std::chrono::system_clock::time_point;

// "Sun, 06 Nov 1994 08:49:37 GMT" (the HTTP date; fractions of a second are dropped).
std::string WebServerFormatRFC822(WebServerDate date);
// Only that exact form; anything else (the older full-weekday form included) is absent.
std::optional<WebServerDate> WebServerParseRFC822(std::string_view text);
// "1994-11-06T08:49:37+00:00".
std::string WebServerFormatISO8601(WebServerDate date);
std::optional<WebServerDate> WebServerParseISO8601(std::string_view text);

} // namespace ombrelia
