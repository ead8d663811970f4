#include "playlist/tags/BoolTagType.hpp"

namespace ombrelia {

std::string_view rawValue(BoolTagType value) { return value == BoolTagType::yes ? "YES" : "NO"; }

}  // namespace ombrelia
