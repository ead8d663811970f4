#include "platform/url/UrlReference.hpp"

#include "platform/url/UriCharacters.hpp"

namespace ombrelia {
namespace {

// The URL as keys compare it, built whole.
std::string keyOf(Url url) {
  url.setUserInfo(std::nullopt);
  return url.normalizedString();
}

// Its scheme, user name, password, host and port, with an empty path.
Url originOf(const UrlRecord& url) {
  UrlRecord origin;
  origin.scheme = url.scheme;
  origin.username = url.username;
  origin.password = url.password;
  origin.host = url.host;
  origin.port = url.port;
  return std::move(origin).toUrl();
}

}  // namespace

UrlReference::UrlReference(const Url& base) {
  auto parsed = UrlParser::parse(base.toString(), nullptr);
  if (!parsed) return;
  base_.emplace(std::move(parsed).value());
  const UrlRecord& record = base_->url;
  baseText_ = keyOf(UrlRecord(record).toUrl());
  // Keys point into the base only where its text is the parser's own, so that the base's first
  // bytes a reference keeps are the same in both.
  // Appended piece by piece: GCC 12 reads a chain of "+" on these as a false overlap.
  std::string written = record.scheme;
  written.append("://").append(record.host);
  if (record.port) written.append(":").append(std::to_string(*record.port));
  originLength_ = written.size();
  written.append(record.path);
  if (record.query) written.append("?").append(*record.query);
  keysPointIntoBase_ = written == baseText_;
}

std::optional<Url> UrlReference::baseOrigin() const {
  if (!base_) return std::nullopt;
  Url origin = originOf(base_->url);
  origin.setPath("/");
  return origin;
}

size_t UrlReference::bytes() const {
  size_t bytes = sizeof(*this) + baseText_.capacity();
  if (base_) {
    const UrlRecord& url = base_->url;
    bytes += url.scheme.capacity() + url.username.capacity() + url.password.capacity() +
             url.host.capacity() + url.path.capacity() + (url.query ? url.query->capacity() : 0) +
             (url.fragment ? url.fragment->capacity() : 0) +
             base_->pathSlashes.capacity() * sizeof(uint32_t);
  }
  return bytes;
}

Expected<UrlReference::Resolution, UrlReference::Refusal> UrlReference::resolution(
    std::string_view written) const {
  auto reading = UrlParser::read(written, base_ ? &*base_ : nullptr);
  if (!reading) return reading.error();
  return Resolution(*this, std::move(reading).value());
}

Expected<Url, UrlReference::Refusal> UrlReference::resolve(std::string_view written) const {
  auto resolved = resolution(written);
  if (!resolved) return resolved.error();
  return resolved->url();
}

Expected<Url, UrlReference::Refusal> UrlReference::read(std::string_view written) {
  auto parsed = UrlParser::parse(written, nullptr);
  if (!parsed) return parsed.error();
  return std::move(parsed).value().toUrl();
}

Url UrlReference::Resolution::url() const {
  const UrlRecord* base = base_->base_ ? &base_->base_->url : nullptr;
  return UrlParser::whole(reading_, base).toUrl();
}

Url UrlReference::Resolution::origin() const {
  return originOf(reading_.inherited.authority && base_->base_ ? base_->base_->url : reading_.own);
}

UrlReference::Resolution::Key UrlReference::Resolution::key() const {
  const UrlParser::Inherited& inherited = reading_.inherited;
  if (!inherited.authority) return Key{0, keyOf(UrlRecord(reading_.own).toUrl())};
  if (!base_->keysPointIntoBase_) return Key{0, keyOf(url())};
  const UrlRecord& base = base_->base_->url;
  Key key;
  key.kept = base_->originLength_ + inherited.path;
  if (inherited.query) key.kept += 1 + base.query->size();
  // Normalised piece by piece as the whole would be: the base's part ends where a path segment
  // or the query ends, never inside an escape.
  key.tail.reserve(reading_.own.path.size() +
                   (reading_.own.query ? reading_.own.query->size() + 1 : 0));
  UriCharacters::appendNormalizedEscapes(key.tail, reading_.own.path);
  if (reading_.own.query) {
    key.tail.push_back('?');
    UriCharacters::appendNormalizedEscapes(key.tail, *reading_.own.query);
  }
  return key;
}

std::string_view UrlReference::trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  return text;
}

}  // namespace ombrelia
