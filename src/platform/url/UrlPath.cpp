#include "platform/url/UrlPath.hpp"

#include <vector>

namespace ombrelia {

std::string UrlPath::removingDotSegments(std::string_view input) {
  std::string in(input);
  std::string out;
  size_t i = 0;
  while (i < in.size()) {
    std::string_view rest(in.data() + i, in.size() - i);
    if (rest.starts_with("../")) {
      i += 3;
    } else if (rest.starts_with("./")) {
      i += 2;
    } else if (rest.starts_with("/./")) {
      i += 2;
    } else if (rest == "/.") {
      in.replace(i, 2, "/");
    } else if (rest.starts_with("/../")) {
      i += 3;
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (rest == "/..") {
      in.replace(i, 3, "/");
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (rest == "." || rest == "..") {
      i = in.size();
    } else {
      size_t start = i;
      if (in[i] == '/') ++i;
      while (i < in.size() && in[i] != '/') ++i;
      out.append(in, start, i - start);
    }
  }
  return out;
}

std::string UrlPath::normalized(std::string_view path) {
  std::vector<std::string_view> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  std::string result = path.starts_with('/') ? "/" : "";
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result.push_back('/');
    result.append(components[i]);
  }
  return result;
}

}  // namespace ombrelia
