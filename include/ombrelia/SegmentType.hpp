#pragma once

#include <optional>
#include <string_view>

namespace ombrelia {

enum class SegmentType { video, audio, unknown };

// Exact, case-sensitive match of "video", "audio" or "unknown".
std::optional<SegmentType> makeSegmentType(std::string_view rawValue);
std::string_view rawValue(SegmentType type);

}  // namespace ombrelia
