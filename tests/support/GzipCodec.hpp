#pragma once
// Any thread: stateless helpers.

#include <optional>
#include <string>
#include <string_view>

namespace ombrelia::test {

// Whole-buffer gzip for tests that check the server's streaming coders against zlib itself.
class GzipCodec {
public:
  static std::string compress(std::string_view bytes);
  // Absent when the bytes are not one complete gzip stream.
  static std::optional<std::string> decompress(std::string_view bytes);
};

} // namespace ombrelia::test
