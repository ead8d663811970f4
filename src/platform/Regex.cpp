#include "platform/Regex.hpp"

#include <pcre2.h>

namespace ombrelia::platform {

struct Regex::Code {
  pcre2_code *code = nullptr;
  ~Code() { pcre2_code_free(code); }
};

namespace {

struct MatchDataDeleter {
  void operator()(pcre2_match_data *data) const { pcre2_match_data_free(data); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;

// The JIT runs on a small fixed stack; a subject that needs more is matched again by the
// interpreter, which keeps its backtracking state on the heap.
int matchAt(const pcre2_code *code, std::string_view subject, PCRE2_SIZE offset, uint32_t flags,
            pcre2_match_data *data) {
  const auto *bytes = reinterpret_cast<PCRE2_SPTR>(subject.data());
  int rc = pcre2_match(code, bytes, subject.size(), offset, flags, data, nullptr);
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code, bytes, subject.size(), offset, flags | PCRE2_NO_JIT, data, nullptr);
  }
  return rc;
}

// The whole match and each group of one successful match; groups that took no part are empty.
Regex::Match matchFrom(std::string_view subject, const PCRE2_SIZE *ovector, size_t groups,
                       int rc) {
  Regex::Match match;
  match.whole = subject.substr(ovector[0], ovector[1] - ovector[0]);
  for (size_t group = 1; group <= groups; ++group) {
    const PCRE2_SIZE start = ovector[2 * group];
    const PCRE2_SIZE end = ovector[2 * group + 1];
    if (group >= static_cast<size_t>(rc) || start == PCRE2_UNSET) {
      match.groups.emplace_back(std::nullopt);
    } else {
      match.groups.emplace_back(subject.substr(start, end - start));
    }
  }
  return match;
}

} // namespace

Regex::Regex(std::shared_ptr<const Code> code, std::string pattern, size_t captureCount)
    : code_(std::move(code)), pattern_(std::move(pattern)), captureCount_(captureCount) {}

std::optional<Regex> Regex::compile(std::string_view pattern, Options options, std::string *error) {
  uint32_t flags = PCRE2_UTF;
  if (options.caseInsensitive)
    flags |= PCRE2_CASELESS;
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  pcre2_code *compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                       flags, &errorCode, &errorOffset, nullptr);
  if (compiled == nullptr) {
    if (error != nullptr) {
      PCRE2_UCHAR buffer[256];
      pcre2_get_error_message(errorCode, buffer, sizeof(buffer));
      *error = std::string(reinterpret_cast<const char *>(buffer)) + " at offset " +
               std::to_string(errorOffset);
    }
    return std::nullopt;
  }
  // The JIT is an optimisation only: where it is unavailable the interpreter runs.
  pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
  uint32_t captures = 0;
  pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &captures);
  auto code = std::make_shared<Code>();
  code->code = compiled;
  return Regex(std::move(code), std::string(pattern), captures);
}

bool Regex::matches(std::string_view subject) const { return firstMatch(subject).has_value(); }

std::optional<Regex::Match> Regex::firstMatch(std::string_view subject) const {
  MatchData data(pcre2_match_data_create_from_pattern(code_->code, nullptr));
  if (!data)
    return std::nullopt;
  int rc = matchAt(code_->code, subject, 0, 0, data.get());
  if (rc <= 0)
    return std::nullopt;
  return matchFrom(subject, pcre2_get_ovector_pointer(data.get()), captureCount_, rc);
}

std::vector<Regex::Match> Regex::allMatches(std::string_view subject) const {
  std::vector<Match> found;
  MatchData data(pcre2_match_data_create_from_pattern(code_->code, nullptr));
  if (!data)
    return found;
  PCRE2_SIZE offset = 0;
  uint32_t flags = 0;
  while (offset <= subject.size()) {
    int rc = matchAt(code_->code, subject, offset, flags, data.get());
    if (rc == PCRE2_ERROR_NOMATCH && flags != 0) {
      // An empty match at this offset was already reported: advance one character (a whole
      // UTF-8 sequence) and search again without the empty-match restriction.
      ++offset;
      while (offset < subject.size() && (static_cast<uint8_t>(subject[offset]) & 0xC0) == 0x80)
        ++offset;
      flags = 0;
      continue;
    }
    if (rc <= 0)
      break;
    const PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data.get());
    found.push_back(matchFrom(subject, ovector, captureCount_, rc));
    offset = ovector[1];
    // After an empty match, the next attempt at the same offset must not be empty again.
    flags = ovector[0] == ovector[1] ? (PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED) : 0;
  }
  return found;
}

} // namespace ombrelia::platform
