#pragma once
// Any thread: immutable once built.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "playlist/tags/BaseAttributedTag.hpp"
#include "playlist/tags/StringInitializable.hpp"

namespace ombrelia {

// "#EXT-X-STREAM-INF:" with its variant URI line. BANDWIDTH is required. RESOLUTION is not: an
// audio-only variant (ffmpeg writes one for an audio group) has none.
class EXT_X_STREAM_INF : public BaseAttributedTag {
 public:
  static constexpr std::string_view bandwidthAttributeKey = "BANDWIDTH";
  static constexpr std::string_view resolutionAttributeKey = "RESOLUTION";
  static constexpr std::string_view audioAttributeKey = "AUDIO";
  static constexpr std::string_view programIdAttributeKey = "PROGRAM-ID";

  static const TagType& type();
  static Expected<std::shared_ptr<const EXT_X_STREAM_INF>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);
  static int linesCount(std::string_view) { return 2; }

  EXT_X_STREAM_INF(Parts parts, const TagType& tagType, std::string uri);

  const std::string& uri() const { return uri_; }
  // -1 when BANDWIDTH does not convert to an integer.
  int64_t bandwidth() const;
  // Absent when the variant declares none.
  std::optional<std::string> resolution() const;
  std::optional<std::string> audio() const;
  std::optional<int64_t> programId() const;

 private:
  std::string uri_;
};

}  // namespace ombrelia
