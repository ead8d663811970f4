#include <ombrelia/SegmentType.hpp>

namespace ombrelia {

std::optional<SegmentType> makeSegmentType(std::string_view raw) {
  if (raw == "video")
    return SegmentType::video;
  if (raw == "audio")
    return SegmentType::audio;
  if (raw == "unknown")
    return SegmentType::unknown;
  return std::nullopt;
}

std::string_view rawValue(SegmentType type) {
  switch (type) {
  case SegmentType::video:
    return "video";
  case SegmentType::audio:
    return "audio";
  case SegmentType::unknown:
    return "unknown";
  }
  return "unknown";
}

}  // namespace ombrelia
