#pragma once
// Any thread: a value type.

#include <string>

namespace ombrelia {

// Why a tag line could not be built. The descriptions are shown to integrators as they are.
class TagError {
 public:
  enum class Kind { invalidData, missingAttributes };

  static TagError invalidData(std::string tag, std::string received, std::string expected);
  static TagError missingAttributes();

  Kind kind() const { return kind_; }
  const std::string& tag() const { return tag_; }
  const std::string& received() const { return received_; }
  const std::string& expected() const { return expected_; }
  std::string errorDescription() const;

  friend bool operator==(const TagError&, const TagError&) = default;

 private:
  TagError(Kind kind, std::string tag, std::string received, std::string expected);

  Kind kind_;
  std::string tag_;
  std::string received_;
  std::string expected_;
};

}  // namespace ombrelia
