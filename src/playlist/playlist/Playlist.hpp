#pragma once
// Any thread: playlist records are immutable values.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ombrelia/Url.hpp>

#include "playlist/playlist/PlaylistType.hpp"
#include "playlist/tags/Tag.hpp"

namespace ombrelia {

// Tags of the caller's extra classes, by tag literal, each list in text order.
using ExtraTagMap = std::map<std::string, std::vector<std::shared_ptr<const Tag>>, std::less<>>;

// What both playlist records offer.
class Playlist {
 public:
  virtual ~Playlist() = default;
  virtual const std::string& originalText() const = 0;
  virtual const std::optional<std::string>& alteredText() const = 0;
  virtual PlaylistType type() const = 0;
  virtual const Url& baseUrl() const = 0;
  virtual const ExtraTagMap& extraTags() const = 0;
};

}  // namespace ombrelia
