#pragma once
// Any thread: stateless.

#include <string>
#include <string_view>

namespace ombrelia {

// The library's one place for "." and ".." in paths. URLs and served files need two readings:
// a URL keeps its empty segments and trailing "/" (they are part of what the origin is asked
// for), while a file path has no use for them and must never climb above its root.
class UrlPath {
 public:
  UrlPath() = delete;

  // Removes "." and ".." segments as URL resolution does (RFC 3986 5.2.4), on the encoded path:
  // "/a/b/../c/" is "/a/c/", "/a//b" stays as it is, a ".." at the root is dropped.
  static std::string removingDotSegments(std::string_view path);
  // Splits on "/", drops empty and "." components, lets ".." remove the last kept component
  // (nothing when there is none) and joins the rest with "/", prefixed by "/" when the path
  // began with one: "/a/./b/../c//" is "/a/c", "../x" is "x".
  static std::string normalized(std::string_view path);
};

}  // namespace ombrelia
