#include "support/SampleStream.hpp"

#include <gtest/gtest.h>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {

std::string SampleStream::folder(const std::string& kind, int durationSeconds, int segmentSeconds) {
  const std::string dir = std::string(OMBRELIA_BINARY_DIR) + "/test-streams/" + kind + "-" +
                          std::to_string(durationSeconds) + "s-" + std::to_string(segmentSeconds) +
                          "s";
  const auto result =
      ChildProcess::run({std::string(OMBRELIA_SOURCE_DIR) + "/tests/support/make-stream", kind, dir,
                         std::to_string(durationSeconds), std::to_string(segmentSeconds)});
  EXPECT_EQ(result.exitCode, 0) << "make-stream " << kind << " failed: " << result.output;
  return dir;
}

}  // namespace ombrelia::test
