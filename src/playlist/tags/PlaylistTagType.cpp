#include "playlist/tags/PlaylistTagType.hpp"

namespace ombrelia {

std::string_view rawValue(PlaylistTagType value) {
  return value == PlaylistTagType::vod ? "VOD" : "EVENT";
}

}  // namespace ombrelia
