#include "playlist/tags/TagError.hpp"

namespace ombrelia {

TagError::TagError(Kind kind, std::string tag, std::string received, std::string expected)
    : kind_(kind),
      tag_(std::move(tag)),
      received_(std::move(received)),
      expected_(std::move(expected)) {}

TagError TagError::invalidData(std::string tag, std::string received, std::string expected) {
  return TagError(Kind::invalidData, std::move(tag), std::move(received), std::move(expected));
}

TagError TagError::missingAttributes() { return TagError(Kind::missingAttributes, {}, {}, {}); }

std::string TagError::errorDescription() const {
  if (kind_ == Kind::missingAttributes) {
    return "Required attributes are missing, can not parse invalid playlist";
  }
  return "Failed to create tag (" + tag_ + ") invalid data, " + received_ + ", " + expected_ +
         ".\nMake sure the playlist is valid.";
}

}  // namespace ombrelia
