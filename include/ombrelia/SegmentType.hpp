#pragma once

#include <optional>
#include <string_view>

#include <ombrelia/Export.hpp>

namespace ombrelia {

enum class SegmentType { video, audio, unknown };

// Exact, case-sensitive match of "video", "audio" or "unknown".
OMBRELIA_API std::optional<SegmentType> makeSegmentType(std::string_view rawValue);
OMBRELIA_API std::string_view rawValue(SegmentType type);

}  // namespace ombrelia
