#pragma once
// Any thread: a constant table.

#include <string_view>

namespace ombrelia {

// The standard reason phrase of an HTTP status ("OK", "Not Found"...); "Unknown" otherwise.
std::string_view WebServerReasonPhrase(int statusCode);

} // namespace ombrelia
