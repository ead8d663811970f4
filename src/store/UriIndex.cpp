#include "store/UriIndex.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace ombrelia {
namespace {

// A URL as the part it shares with the base's text (its first `common` bytes) and the rest:
// one form for each URL, however its URI was written, so that equal URLs have equal keys.
template <typename Text>
struct Key {
  size_t common = 0;
  Text rest;

  template <typename Other>
  bool operator==(const Key<Other>& other) const {
    return common == other.common && std::string_view(rest) == std::string_view(other.rest);
  }
  template <typename Other>
  bool operator<(const Key<Other>& other) const {
    if (common != other.common) return common < other.common;
    return std::string_view(rest) < std::string_view(other.rest);
  }
};

size_t commonLength(std::string_view a, std::string_view b) {
  const auto end = std::mismatch(
      a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min(a.size(), b.size())), b.begin());
  return static_cast<size_t>(end.first - a.begin());
}

template <typename Text>
uint64_t hashOf(const Key<Text>& key) {
  return std::hash<std::string_view>{}(std::string_view(key.rest)) ^
         (static_cast<uint64_t>(key.common) * 0x9E3779B97F4A7C15ull);
}

Key<std::string_view> keyOfUrl(std::string_view url, const UrlReference& base) {
  const size_t common = commonLength(url, base.baseText());
  return {common, url.substr(common)};
}

// The key of an entry's URL, worked out from its URI in time proportional to the URI.
std::optional<Key<std::string>> keyOfEntry(uint32_t entry, const UrlReference& base,
                                           const UriIndex::UriOf& uriOf) {
  const auto uri = uriOf(entry);
  if (!uri || uri->empty()) return std::nullopt;
  auto resolved = base.resolution(*uri);
  if (!resolved) return std::nullopt;
  UrlReference::Resolution::Key key = resolved->key();
  const std::string_view baseText = base.baseText();
  const size_t common =
      key.kept + commonLength(key.tail, baseText.substr(std::min(key.kept, baseText.size())));
  key.tail.erase(0, common - key.kept);
  return Key<std::string>{common, std::move(key.tail)};
}

}  // namespace

UriIndex UriIndex::build(const UrlReference& base, uint32_t count, const UriOf& uriOf,
                         std::vector<Entry>* entries) {
  UriIndex index;
  if (entries != nullptr) entries->assign(count, Entry::unresolved);
  for (uint32_t entry = 0; entry < count; ++entry) {
    const auto key = keyOfEntry(entry, base, uriOf);
    if (!key) continue;
    index.items_.push_back({hashOf(*key), entry});
    if (entries != nullptr) (*entries)[entry] = Entry::unique;
  }
  index.items_.shrink_to_fit();
  auto& items = index.items_;
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.entry < b.entry;
  });
  // Entries of one hash are ordered by their URLs, worked out again for them alone; equal ones
  // share their URL.
  for (size_t start = 0; start < items.size();) {
    size_t end = start + 1;
    while (end < items.size() && items[end].hash == items[start].hash) ++end;
    if (end - start > 1) {
      std::vector<std::pair<Key<std::string>, uint32_t>> run;
      run.reserve(end - start);
      for (size_t i = start; i < end; ++i) {
        run.emplace_back(*keyOfEntry(items[i].entry, base, uriOf), items[i].entry);
      }
      std::sort(run.begin(), run.end());
      for (size_t i = 0; i < run.size(); ++i) {
        items[start + i].entry = run[i].second;
        const bool sameAsPrevious = i > 0 && run[i].first == run[i - 1].first;
        const bool sameAsNext = i + 1 < run.size() && run[i].first == run[i + 1].first;
        if (entries != nullptr && (sameAsPrevious || sameAsNext)) {
          (*entries)[run[i].second] = Entry::shared;
        }
      }
    }
    start = end;
  }
  return index;
}

std::optional<uint32_t> UriIndex::find(std::string_view url, const UrlReference& base,
                                       const UriOf& uriOf) const {
  const Key<std::string_view> wanted = keyOfUrl(url, base);
  const uint64_t hash = hashOf(wanted);
  const auto [first, last] =
      std::equal_range(items_.begin(), items_.end(), Item{hash, 0},
                       [](const Item& a, const Item& b) { return a.hash < b.hash; });
  // Within the hash, by URL: each step works one entry's URL out again.
  const auto found = std::lower_bound(first, last, wanted, [&](const Item& item, const auto& key) {
    return *keyOfEntry(item.entry, base, uriOf) < key;
  });
  if (found == last || !(*keyOfEntry(found->entry, base, uriOf) == wanted)) return std::nullopt;
  return found->entry;
}

}  // namespace ombrelia
