#pragma once
// Any thread: pure functions over files and text.

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace ombrelia::test {

// SHA-256 digests of segments, to check that what a player received is the origin's file.
class SegmentDigests {
 public:
  SegmentDigests() = delete;

  // The SHA-256 of `bytes` in lower-case hex.
  static std::string of(const std::string& bytes);
  // Every .ts, .m4s and .mp4 file under the folder, by its path from the folder ("/v0/seg3.ts",
  // as the origin serves it), to its digest in lower-case hex.
  static std::map<std::string, std::string> ofFolder(const std::string& folder);
  // The path and digest of a host's "digest <path> <hex>" line; none for any other line.
  static std::optional<std::pair<std::string, std::string>> fromLine(const std::string& line);
};

}  // namespace ombrelia::test
