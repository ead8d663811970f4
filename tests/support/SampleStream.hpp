#pragma once
// Test thread only.

#include <string>

namespace ombrelia::test {

// HLS streams made with ffmpeg from a synthetic source, once per build tree: every test
// process asks for the same folder and the first one makes it.
class SampleStream {
 public:
  // kind: "ts3", "fmp4", "aes", "single" or "crlf" (see tests/support/make-stream).
  // Returns the stream's folder; fails the calling test when ffmpeg fails.
  static std::string folder(const std::string& kind, int durationSeconds = 8,
                            int segmentSeconds = 2);
};

}  // namespace ombrelia::test
