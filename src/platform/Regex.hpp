#pragma once
// Any thread: a compiled expression is immutable; matching allocates its own match data.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrelia::platform {

// A regular expression compiled with PCRE2 (std::regex recurses per character and overflows the
// stack on long subjects). UTF-8 patterns and subjects; invalid UTF-8 in a subject never
// matches.
struct RegexOptions {
  bool caseInsensitive = false;
};

class Regex {
public:
  using Options = RegexOptions;

  // One match: the whole match and each capture group from 1 on; a group that did not take part
  // in the match is absent.
  struct Match {
    std::string_view whole;
    std::vector<std::optional<std::string_view>> groups;
  };

  // Absent when the pattern does not compile; `error` receives PCRE2's message then.
  static std::optional<Regex> compile(std::string_view pattern, Options options = {},
                                      std::string *error = nullptr);

  // True when the expression matches anywhere in the subject.
  bool matches(std::string_view subject) const;
  // The first match, searching from the start.
  std::optional<Match> firstMatch(std::string_view subject) const;
  // Every non-overlapping match, left to right. Views point into the subject.
  std::vector<Match> allMatches(std::string_view subject) const;

  size_t captureCount() const { return captureCount_; }
  const std::string &pattern() const { return pattern_; }

private:
  struct Code;
  Regex(std::shared_ptr<const Code> code, std::string pattern, size_t captureCount);

  std::shared_ptr<const Code> code_;
  std::string pattern_;
  size_t captureCount_ = 0;
};

} // namespace ombrelia::platform
