#pragma once
// Any thread: descriptors are process-wide constants.

#include <memory>
#include <string_view>

#include "platform/Expected.hpp"
#include "playlist/tags/TagError.hpp"
#include "playlist/tags/TagExtraParams.hpp"

namespace ombrelia {

class Tag;

// A tag class as a value: its literal, how to build an instance of it, and for classes whose
// entries span several lines, how many lines an entry takes. Tag classes are compared by the
// address of their descriptor; `parent` names the class a class derives from, so that "this class
// or a subclass of it" can be asked.
struct TagType {
  using Factory = Expected<std::shared_ptr<const Tag>, TagError> (*)(
      std::string_view text, const TagType& tagType, const TagExtraParams* extraParams);
  using LinesCount = int (*)(std::string_view text);

  std::string_view literal;
  Factory factory = nullptr;
  LinesCount linesCountFunction = nullptr;  // set only for multi-line classes
  bool attributed = false;
  const TagType* parent = nullptr;

  // The literal that begins the tag's line. An abstract base class has none: asking for it is a
  // programming error and stops the process.
  std::string_view tag() const {
    if (literal.empty()) abstractTag();
    return literal;
  }
  Expected<std::shared_ptr<const Tag>, TagError> make(std::string_view text,
                                                      const TagExtraParams* extraParams) const;
  bool isMultiline() const { return linesCountFunction != nullptr; }
  int linesCount(std::string_view text) const { return linesCountFunction(text); }
  // True for this class and for classes derived from it.
  bool isKindOf(const TagType& other) const;

 private:
  [[noreturn]] static void abstractTag();
};

}  // namespace ombrelia
