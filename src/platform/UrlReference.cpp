#include "platform/UrlReference.hpp"

#include "platform/UriCharacters.hpp"

namespace ombrelia {
namespace {

bool isSpaceOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

char lowered(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The length of the scheme and its ":" at the start of the text; 0 when it starts with none.
size_t schemeLength(std::string_view text) {
  const size_t colon = text.find_first_of(":/?#\\");
  if (colon == std::string_view::npos || colon == 0 || text[colon] != ':') return 0;
  if (!UriCharacters::isAlpha(text[0])) return 0;
  for (char c : text.substr(0, colon)) {
    if (!UriCharacters::isAlpha(c) && !UriCharacters::isDigit(c) && c != '+' && c != '-' &&
        c != '.') {
      return 0;
    }
  }
  return colon + 1;
}

// The schemes whose "\" a browser reads as "/"; a reference without a scheme resolves against
// the playlist's own http(s) URL and is read the same way.
bool isSpecial(std::string_view schemeAndColon) {
  if (schemeAndColon.empty()) return true;
  std::string scheme;
  for (char c : schemeAndColon.substr(0, schemeAndColon.size() - 1)) scheme.push_back(lowered(c));
  return scheme == "http" || scheme == "https";
}

void appendEscaped(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

}  // namespace

std::string_view UrlReference::trimmed(std::string_view text) {
  while (!text.empty() && isSpaceOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpaceOrControl(text.back())) text.remove_suffix(1);
  return text;
}

UrlReference::UrlReference(const Url& base) : base_(base) {}

std::optional<Url> UrlReference::lenient(std::string_view written) {
  if (auto url = Url::parse(written)) return url;
  const auto text = lenientText(written);
  if (!text) return std::nullopt;
  return Url::parse(*text);
}

Expected<Url, UrlReference::Refusal> UrlReference::resolve(std::string_view written) const {
  auto ref = lenient(written);
  if (!ref) return Refusal::invalid;
  if (ref->isAbsolute() && ref->scheme() != "http" && ref->scheme() != "https")
    return Refusal::notHttp;
  return base_.resolving(*ref);
}

Expected<Url, UrlReference::Refusal> UrlReference::read(std::string_view written) {
  auto url = lenient(written);
  if (!url || !url->isAbsolute()) return Refusal::invalid;
  if (url->scheme() != "http" && url->scheme() != "https") return Refusal::notHttp;
  return *url;
}

std::optional<std::string> UrlReference::lenientText(std::string_view written) {
  const std::string_view text = trimmed(written);
  // Nothing, or a tag or comment moved off the start of its line: no resource either way.
  if (text.empty() || text.front() == '#') return std::nullopt;

  // Tabs are dropped wherever they stand; before the query of an http(s) reference "\" is "/".
  const size_t scheme = schemeLength(text);
  const bool special = isSpecial(text.substr(0, scheme));
  std::string plain;
  plain.reserve(text.size());
  bool beforeQuery = true;
  for (char c : text) {
    if (c == '\t') continue;
    if (c == '?' || c == '#') beforeQuery = false;
    plain.push_back(special && beforeQuery && c == '\\' ? '/' : c);
  }

  // The authority is left as written: a host is never percent-encoded, so one that needs it
  // stays invalid and the reference is refused.
  size_t authorityEnd = scheme;
  if (std::string_view(plain).substr(scheme).starts_with("//")) {
    authorityEnd = plain.find_first_of("/?#", scheme + 2);
    if (authorityEnd == std::string::npos) authorityEnd = plain.size();
  }
  std::string out(plain, 0, authorityEnd);
  out.reserve(plain.size() + plain.size() / 2);
  for (size_t i = authorityEnd; i < plain.size(); ++i) {
    const auto c = static_cast<unsigned char>(plain[i]);
    const bool escape = c == '%' && i + 2 < plain.size() && UriCharacters::isHex(plain[i + 1]) &&
                        UriCharacters::isHex(plain[i + 2]);
    if (c == '%' ? !escape : UriCharacters::isExcluded(c)) {
      appendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace ombrelia
