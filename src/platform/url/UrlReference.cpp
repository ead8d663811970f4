#include "platform/url/UrlReference.hpp"

namespace ombrelia {

UrlReference::UrlReference(const Url& base) {
  auto parsed = UrlParser::parse(base.toString(), nullptr);
  if (parsed) base_ = std::move(parsed).value();
}

Expected<Url, UrlReference::Refusal> UrlReference::resolve(std::string_view written) const {
  auto parsed = UrlParser::parse(written, base_ ? &*base_ : nullptr);
  if (!parsed) return parsed.error();
  return std::move(parsed).value().toUrl();
}

Expected<Url, UrlReference::Refusal> UrlReference::read(std::string_view written) {
  auto parsed = UrlParser::parse(written, nullptr);
  if (!parsed) return parsed.error();
  return std::move(parsed).value().toUrl();
}

std::string_view UrlReference::trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  return text;
}

}  // namespace ombrelia
