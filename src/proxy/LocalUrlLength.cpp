#include "proxy/LocalUrlLength.hpp"

#include <algorithm>

#include "platform/url/UriCharacters.hpp"
#include "platform/url/Utf8.hpp"
#include "proxy/ReverseProxyURL.hpp"

namespace ombrelia {
namespace {

// The byte at `i` as the local path's test for UTF-8 decodes it: an escape our server takes
// stands for its byte, anything else for itself.
size_t decodeAt(std::string_view text, size_t i, std::string& out) {
  if (text[i] == '%' && ReverseProxyURL::isTakenByLocalServer(text, i)) {
    out.push_back(static_cast<char>(UriCharacters::hexValue(text[i + 1]) * 16 +
                                    UriCharacters::hexValue(text[i + 2])));
    return 3;
  }
  out.push_back(text[i]);
  return 1;
}

// Whether `text` decodes to UTF-8. A path's segments are decoded one at a time: no escape and
// no UTF-8 character spans a "/".
bool decodesToUtf8(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size();) i += decodeAt(text, i, decoded);
  return Utf8::isValid(decoded);
}

}  // namespace

LocalUrlLength::Measure& LocalUrlLength::Measure::operator+=(const Measure& other) {
  taken += other.taken;
  escapes += other.escapes;
  inValue += other.inValue;
  decodesToUtf8 = decodesToUtf8 && other.decodesToUtf8;
  return *this;
}

LocalUrlLength::Measure LocalUrlLength::measure(std::string_view text, size_t from, size_t to) {
  Measure m;
  for (size_t i = from; i < to; ++i) {
    if (!ReverseProxyURL::isTakenByLocalServer(text, i)) {
      m.taken += 3;
      ++m.escapes;
    } else {
      ++m.taken;
      if (text[i] == '%') ++m.escapes;
    }
    m.inValue += ReverseProxyURL::isKeptInQueryValue(text[i]) ? 1 : 3;
  }
  m.decodesToUtf8 = decodesToUtf8(text.substr(from, to - from));
  return m;
}

std::string LocalUrlLength::headOf(const UrlRecord& url) {
  std::string head = url.scheme;
  head.append("://").append(url.host);
  if (url.port) head.append(":").append(std::to_string(*url.port));
  return head;
}

LocalUrlLength::LocalUrlLength(const UrlReference& base) {
  const UrlRecord* url = base.baseRecord();
  if (url == nullptr) return;
  path_ = url->path;
  hasQuery_ = url->query.has_value();
  query_ = url->query.value_or("");
  head_ = headOf(*url);
  headInValue_ = measure(head_).inValue;
  queryMeasure_ = measure(query_);
  // One walk along the path, a segment at a time. An escape near a "/" reads the same bytes
  // as in any URL whose path goes on from there: the next one is a "/".
  size_t start = 0;
  for (size_t i = 0; i <= path_.size(); ++i) {
    if (i < path_.size() && path_[i] != '/') continue;
    wholePath_ += measure(path_, start, i);
    if (i == path_.size()) break;
    slashes_.push_back(static_cast<uint32_t>(i));
    before_.push_back(wholePath_);
    start = i;
  }
}

LocalUrlLength::Measure LocalUrlLength::basePath(size_t length) const {
  if (length == 0) return {};
  if (length >= path_.size()) return wholePath_;
  const auto at = std::lower_bound(slashes_.begin(), slashes_.end(), length);
  if (at != slashes_.end() && *at == length) return before_[at - slashes_.begin()];
  // References keep the base's path up to a "/" or whole; anything else is measured here.
  return measure(std::string_view(path_).substr(0, length));
}

LocalUrlLength::Figures LocalUrlLength::of(const UrlReference::Resolution& resolved) const {
  const UrlParser::Inherited& inherited = resolved.inherited();
  const UrlRecord& own = resolved.own();
  const size_t kept = inherited.authority ? std::min(inherited.path, path_.size()) : 0;
  Measure path = basePath(kept);
  path += measure(own.path);
  const bool hasQuery = inherited.query ? hasQuery_ : own.query.has_value();
  const size_t querySize = inherited.query ? query_.size() : own.query.value_or("").size();
  const Measure query = inherited.query ? queryMeasure_ : measure(own.query.value_or(""));
  size_t headSize = head_.size();
  size_t headInValue = headInValue_;
  if (!inherited.authority) {
    const std::string head = headOf(own);
    headSize = head.size();
    headInValue = measure(head).inValue;
  }

  Figures figures;
  figures.originBytes = headSize + kept + own.path.size() + (hasQuery ? 1 + querySize : 0) +
                        (own.fragment ? 1 + own.fragment->size() : 0);

  // The path as our server takes it: every escape written again as "%25" when the escapes do
  // not decode to UTF-8, and a second leading "/" escaped.
  size_t localPath = path.taken + (path.decodesToUtf8 ? 0 : 2 * path.escapes);
  auto pathAt = [&](size_t i) {
    if (i < kept) return path_[i];
    return i - kept < own.path.size() ? own.path[i - kept] : '\0';
  };
  if (pathAt(0) == '/' && pathAt(1) == '/') localPath += 2;

  // The item's value: "?" is kept as it is, "#" escaped.
  size_t value = headInValue + path.inValue;
  if (hasQuery) value += 1 + query.inValue;
  if (own.fragment) {
    const Measure fragment = measure(*own.fragment);
    value += 3 + fragment.inValue;
    figures.localFragmentBytes = 1 + fragment.taken;
  }
  figures.localBytes = std::string_view("http://127.0.0.1:65535?").size() + localPath +
                       query.taken + (query.taken > 0 ? 1 : 0) +
                       ReverseProxyURL::kOriginURLKey.size() + 1 + value;
  return figures;
}

}  // namespace ombrelia
