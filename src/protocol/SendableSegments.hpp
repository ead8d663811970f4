#pragma once
// Any thread: an empty value.

namespace ombrelia {

// The "sendableSegments" member of a group response: it must be present, its content is not
// read.
struct SendableSegments {
  friend bool operator==(const SendableSegments&, const SendableSegments&) = default;
};

}  // namespace ombrelia
