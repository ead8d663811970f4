#pragma once
// Any thread: a value type and a pure function.

#include <optional>
#include <string_view>

namespace ombrelia {

// The quality class of a rendition; K2, K4 and K8 are the 2K, 4K and 8K width classes, AUDIO the
// class of audio segments, which no resolution gives.
enum class QualityType { SD, HD, FullHD, K2, K4, K8, AUDIO };

// The class of a video rendition's resolution text ("1280x720"), compared whole and exactly:
// a size outside the six known ones, however close, has no class.
std::optional<QualityType> determineQualityType(std::string_view resolution);

}  // namespace ombrelia
