// Dot segments in URL paths and in served file paths.
#include "platform/url/UrlPath.hpp"

#include <gtest/gtest.h>

namespace ombrelia {
namespace {

TEST(UrlPath, FilePathsDropDotsAndEmptyComponentsAndNeverClimbAboveTheRoot) {
  EXPECT_EQ(UrlPath::normalized("/a/./b/../c//"), "/a/c");
  EXPECT_EQ(UrlPath::normalized("../x"), "x");
  EXPECT_EQ(UrlPath::normalized("/../../etc/passwd"), "/etc/passwd");
  EXPECT_EQ(UrlPath::normalized("/a/%2e%2e/b"), "/a/%2e%2e/b");  // escapes are not dots
  EXPECT_EQ(UrlPath::normalized("/"), "/");
  EXPECT_EQ(UrlPath::normalized(""), "");
}

TEST(UrlPath, UrlPathsKeepEmptySegmentsAndTheTrailingSlash) {
  EXPECT_EQ(UrlPath::removingDotSegments("/a/b/c/./../../g"), "/a/g");
  EXPECT_EQ(UrlPath::removingDotSegments("mid/content=5/../6"), "mid/6");
  EXPECT_EQ(UrlPath::removingDotSegments("/a/b/../c/"), "/a/c/");
  EXPECT_EQ(UrlPath::removingDotSegments("/a//b/."), "/a//b/");
  EXPECT_EQ(UrlPath::removingDotSegments("/../../etc/passwd"), "/etc/passwd");
  EXPECT_EQ(UrlPath::removingDotSegments("../x"), "x");
  // The two readings differ exactly where a file path has no use for what a URL keeps.
  EXPECT_NE(UrlPath::removingDotSegments("/a//b/"), UrlPath::normalized("/a//b/"));
}

}  // namespace
}  // namespace ombrelia
