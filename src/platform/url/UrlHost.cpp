#include "platform/url/UrlHost.hpp"

#include "platform/url/Ipv4Host.hpp"
#include "platform/url/Ipv6Host.hpp"
#include "platform/url/UriCharacters.hpp"

namespace ombrelia {

bool UrlHost::isForbiddenInDomain(unsigned char c) {
  if (c <= 0x20 || c == 0x7F) return true;
  switch (c) {
    case '#':
    case '%':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '@':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '|':
      return true;
    default:
      return false;
  }
}

Expected<std::string, UrlHost::Refusal> UrlHost::parse(std::string_view written) {
  if (written.starts_with('[')) {
    if (!written.ends_with(']')) return Refusal::invalid;
    const auto address = Ipv6Host::parse(written.substr(1, written.size() - 2));
    if (!address) return Refusal::invalid;
    // Appended: GCC 12 at -O3 takes `"[" + std::string` for an overlapping copy.
    std::string bracketed = "[";
    return bracketed.append(Ipv6Host::serialize(*address)).append("]");
  }

  // Escapes decoded and ASCII letters lowered; a "%" that starts no escape stays, and is then
  // refused with the other characters no name may hold. An ASCII name without a Punycode label
  // needs no IDNA: lower case is all its mapping does.
  std::string host;
  host.reserve(written.size());
  bool needsIdna = false;
  bool forbidden = false;
  for (size_t i = 0; i < written.size(); ++i) {
    char c = written[i];
    if (c == '%' && i + 2 < written.size() && UriCharacters::isHex(written[i + 1]) &&
        UriCharacters::isHex(written[i + 2])) {
      c = static_cast<char>(UriCharacters::hexValue(written[i + 1]) * 16 +
                            UriCharacters::hexValue(written[i + 2]));
      i += 2;
    }
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '-' && host.size() >= 3 && (host.size() == 3 || host[host.size() - 4] == '.') &&
        std::string_view(host).ends_with("xn-")) {
      needsIdna = true;
    }
    needsIdna = needsIdna || static_cast<unsigned char>(c) >= 0x80;
    forbidden = forbidden || isForbiddenInDomain(static_cast<unsigned char>(c));
    host.push_back(c);
  }
  if (needsIdna) return Refusal::needsIdna;
  if (forbidden) return Refusal::invalid;

  if (!Ipv4Host::endsInANumber(host)) return host;
  const auto address = Ipv4Host::parse(host);
  if (!address) return Refusal::invalid;
  return Ipv4Host::serialize(*address);
}

}  // namespace ombrelia
