#pragma once
// Any thread: tags are immutable once built.

#include <string>
#include <string_view>

#include "playlist/tags/TagType.hpp"

namespace ombrelia {

// One recognised tag line of a playlist.
class Tag {
 public:
  virtual ~Tag() = default;

  // The text the tag was built from.
  virtual const std::string& text() const = 0;
  // The text that follows the tag's literal; as long-lived as the tag.
  virtual std::string_view tagDataText() const = 0;
  virtual const TagType& tagType() const = 0;
  // The tag's literal followed by its data text; the argument is not used by the base classes.
  virtual std::string toText(std::string_view replacingTagValueWith) const;
};

}  // namespace ombrelia
