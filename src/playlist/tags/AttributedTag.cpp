#include "playlist/tags/AttributedTag.hpp"

namespace ombrelia {

TagAttributes AttributedTag::getAttributes(std::string_view from, std::string_view seperatedBy,
                                           const std::vector<std::string>* extrasToRemove) {
  std::string text(from);
  if (extrasToRemove != nullptr) {
    for (const std::string& extra : *extrasToRemove) {
      if (extra.empty()) continue;
      std::string cleaned;
      cleaned.reserve(text.size());
      size_t start = 0;
      for (size_t at = text.find(extra); at != std::string::npos; at = text.find(extra, start)) {
        cleaned.append(text, start, at - start);
        start = at + extra.size();
      }
      cleaned.append(text, start, std::string::npos);
      text = std::move(cleaned);
    }
  }

  TagAttributes attributes;
  auto addPiece = [&attributes](std::string_view piece) {
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return;
    attributes.insert_or_assign(std::string(piece.substr(0, eq)),
                                std::string(piece.substr(eq + 1)));
  };
  std::string_view rest = text;
  if (seperatedBy.empty()) {
    addPiece(rest);
    return attributes;
  }
  while (true) {
    const size_t at = rest.find(seperatedBy);
    if (at == std::string_view::npos) {
      addPiece(rest);
      break;
    }
    addPiece(rest.substr(0, at));
    rest.remove_prefix(at + seperatedBy.size());
  }
  return attributes;
}

std::optional<TagError> AttributedTag::validateIntegrity(
    const std::vector<std::string>& requiredAttributes) const {
  const TagAttributes& present = attributes();
  for (const std::string& name : requiredAttributes) {
    if (present.find(name) == present.end()) return TagError::missingAttributes();
  }
  return std::nullopt;
}

std::optional<std::string_view> AttributedTag::attribute(std::string_view name) const {
  const TagAttributes& present = attributes();
  auto it = present.find(name);
  if (it == present.end()) return std::nullopt;
  return std::string_view(it->second);
}

}  // namespace ombrelia
