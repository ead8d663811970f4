#pragma once
// Any thread: plain values.

#include <optional>
#include <set>

#include <ombrelia/Export.hpp>
#include <ombrelia/OLogModule.hpp>

namespace ombrelia {

// Ordered by raw value: a message prints when the active level is at least its level.
enum class OLogLevel : int { none = 0, error = 1, info = 2, debug = 3, trace = 4 };

// 0 to 4 give the level, anything else none.
OMBRELIA_API std::optional<OLogLevel> makeOLogLevel(int rawValue);
OMBRELIA_API int rawValue(OLogLevel level);
// The modules whose messages print at this active level.
OMBRELIA_API std::set<OLogModule> enabledModules(OLogLevel level);

}  // namespace ombrelia
