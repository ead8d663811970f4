#pragma once
// Any thread: an immutable value.

#include <optional>
#include <string>

#include "platform/JsonReader.hpp"

namespace ombrelia {

// The session description nested in a received "transfer". Its type stays text here: it is
// mapped to an SdpType only when converted to a SessionDescription.
class Description {
 public:
  Description(std::string type, std::string sdp);

  static std::optional<Description> decode(const platform::JsonReader& object);

  const std::string& type() const { return type_; }
  const std::string& sdp() const { return sdp_; }

  friend bool operator==(const Description&, const Description&) = default;

 private:
  std::string type_;
  std::string sdp_;
};

}  // namespace ombrelia
