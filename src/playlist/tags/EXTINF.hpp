#pragma once
// Any thread: immutable once built.

#include <memory>
#include <optional>
#include <string>

#include "playlist/tags/BaseValueTag.hpp"
#include "playlist/tags/EXT_X_BITRATE.hpp"

namespace ombrelia {

// "#EXTINF:" with its segment URI line, and the "#EXT-X-BITRATE:" line when one stands between
// them. `text` is the tag line up to its first comma; `value` is the duration in seconds.
class EXTINF : public BaseValueTag<double> {
 public:
  static const TagType& type();
  static Expected<std::shared_ptr<const EXTINF>, TagError> make(
      std::string_view text, const TagType& tagType = type(),
      const TagExtraParams* extraParams = nullptr);
  // 3 when a piece of the text begins with "#EXT-X-BITRATE:", otherwise 2.
  static int linesCount(std::string_view text);

  EXTINF(Parts parts, const TagType& tagType, std::optional<std::string> title, std::string uri,
         std::shared_ptr<const EXT_X_BITRATE> bitrate);

  const std::optional<std::string>& title() const { return title_; }
  const std::string& uri() const { return uri_; }
  const std::shared_ptr<const EXT_X_BITRATE>& bitrate() const { return bitrate_; }

 private:
  std::optional<std::string> title_;
  std::string uri_;
  std::shared_ptr<const EXT_X_BITRATE> bitrate_;
};

}  // namespace ombrelia
