#include "playlist/tags/AttributedTag.hpp"

#include <algorithm>

namespace ombrelia {
namespace {

// An attribute list as it is walked: its text, and the single characters to pass over wherever
// they stand. When every text to delete is one character that is neither the separator (itself
// one character) nor "=", deleting them changes neither where pieces end nor where a piece's
// first "=" is: the list is then read where it stands, with those characters skipped in the
// keys and values taken, rather than copied clean first (a copy as large as the list, for each
// text to delete).
struct ListText {
  std::string_view text;
  std::string skipped;
  std::string cleaned;  // holds the text when it had to be cleaned first
};

void clean(std::string& text, std::string_view extra) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  for (size_t at = text.find(extra); at != std::string::npos; at = text.find(extra, start)) {
    out.append(text, start, at - start);
    start = at + extra.size();
  }
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

void prepare(ListText& list, std::string_view from, std::string_view separator,
             const std::vector<std::string>* extras) {
  list.text = from;
  if (extras == nullptr) return;
  bool skippable = separator.size() == 1;
  std::string skipped;
  for (const std::string& extra : *extras) {
    if (extra.empty()) continue;
    skippable = skippable && extra.size() == 1 && extra[0] != separator[0] && extra[0] != '=';
    skipped.push_back(extra[0]);
  }
  if (skipped.empty()) return;
  if (skippable) {
    list.skipped = std::move(skipped);
    return;
  }
  list.cleaned = std::string(from);
  for (const std::string& extra : *extras) {
    if (!extra.empty()) clean(list.cleaned, extra);
  }
  list.text = list.cleaned;
}

bool isSkipped(std::string_view skipped, char c) {
  return !skipped.empty() && skipped.find(c) != std::string_view::npos;
}

std::string without(std::string_view raw, std::string_view skipped) {
  if (skipped.empty()) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    if (!isSkipped(skipped, c)) out.push_back(c);
  }
  return out;
}

// Whether `raw`, less the skipped characters, is `name`.
bool namesWithout(std::string_view raw, std::string_view name, std::string_view skipped) {
  if (raw.size() < name.size()) return false;
  if (skipped.empty()) return raw == name;
  size_t at = 0;
  for (char c : raw) {
    if (isSkipped(skipped, c)) continue;
    if (at == name.size() || name[at] != c) return false;
    ++at;
  }
  return at == name.size();
}

// Calls `visit(key, value)` with the raw views of each piece that holds "=", in order; their
// skipped characters are still in them. The number of such pieces.
template <typename Visit>
size_t forEachPiece(std::string_view rest, std::string_view separator, Visit visit) {
  size_t count = 0;
  auto piece = [&](std::string_view text) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) return;
    ++count;
    visit(text.substr(0, eq), text.substr(eq + 1));
  };
  if (separator.empty()) {
    piece(rest);
    return count;
  }
  for (;;) {
    const size_t at = rest.find(separator);
    if (at == std::string_view::npos) {
      piece(rest);
      return count;
    }
    piece(rest.substr(0, at));
    rest.remove_prefix(at + separator.size());
  }
}

}  // namespace

TagAttributes AttributedTag::getAttributes(std::string_view from, std::string_view seperatedBy,
                                           const std::vector<std::string>* extrasToRemove) {
  ListText list;
  prepare(list, from, seperatedBy, extrasToRemove);
  TagAttributes attributes;
  forEachPiece(list.text, seperatedBy, [&](std::string_view key, std::string_view value) {
    attributes.insert_or_assign(without(key, list.skipped), without(value, list.skipped));
  });
  return attributes;
}

size_t AttributedTag::getAttributes(std::string_view from, std::string_view seperatedBy,
                                    const std::vector<std::string>* extrasToRemove,
                                    std::span<const std::string_view> kept, TagAttributes& into) {
  ListText list;
  prepare(list, from, seperatedBy, extrasToRemove);
  return forEachPiece(list.text, seperatedBy, [&](std::string_view key, std::string_view value) {
    const auto name = std::find_if(kept.begin(), kept.end(), [&](std::string_view candidate) {
      return namesWithout(key, candidate, list.skipped);
    });
    if (name != kept.end()) into.insert_or_assign(std::string(*name), without(value, list.skipped));
  });
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
