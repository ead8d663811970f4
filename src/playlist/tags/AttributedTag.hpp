#pragma once
// Any thread: tags are immutable once built.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "playlist/tags/Tag.hpp"

namespace ombrelia {

using TagAttributes = std::map<std::string, std::string, std::less<>>;

// A tag whose data is an attribute list (NAME=value pairs).
class AttributedTag : public Tag {
 public:
  // The attributes the tag's class reads: a list may hold millions of others, which cost an
  // entry each if they were kept (about ten times the bytes of a short attribute).
  virtual const TagAttributes& attributes() const = 0;

  // Splits an attribute list. Every text of `extrasToRemove` is first deleted wherever it occurs
  // (quotes included, inside values too); each piece between separators is cut at its first "=";
  // pieces without "=" are ignored; nothing is trimmed; a later key replaces an earlier one.
  static TagAttributes getAttributes(std::string_view from, std::string_view seperatedBy,
                                     const std::vector<std::string>* extrasToRemove);
  // The same list read for the attributes named in `kept` only, into `into`: those named nowhere
  // are passed over without a copy of them or of the list. How many attributes the list holds,
  // kept or not.
  static size_t getAttributes(std::string_view from, std::string_view seperatedBy,
                              const std::vector<std::string>* extrasToRemove,
                              std::span<const std::string_view> kept, TagAttributes& into);

  // Fails with missingAttributes at the first required name that has no entry. An empty value
  // counts as present.
  std::optional<TagError> validateIntegrity(
      const std::vector<std::string>& requiredAttributes) const;

  // The value of an attribute, or none.
  std::optional<std::string_view> attribute(std::string_view name) const;
};

}  // namespace ombrelia
