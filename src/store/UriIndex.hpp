#pragma once
// Built on one thread, then immutable: found in from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/url/UrlReference.hpp"

namespace ombrelia {

// Finds the entries of a stored playlist (its segments, variants or renditions) by the URL each
// one's URI names, without keeping any URL. A relative URI resolves to a URL as long as its
// playlist's own: kept for every entry, N short lines under a long URL (a token in the path, a
// redirect to a long URL) would cost N long URLs. What is kept is a hash per entry; an entry's
// URL is worked out again, from its URI and the playlist's URL read once, only when its hash
// matches, and then only the part that is not the playlist's own URL.
class UriIndex {
 public:
  // The URI of an entry, a view into the stored playlist; absent for one that is not indexed.
  using UriOf = std::function<std::optional<std::string_view>(uint32_t entry)>;

  // What became of an entry: not read as an http(s) URL, the only one with its URL, or one of
  // several.
  enum class Entry : uint8_t { unresolved, unique, shared };

  UriIndex() = default;

  // Indexes entries 0 to count - 1, their URIs read against `base`; tells what became of each
  // in `entries` when given.
  static UriIndex build(const UrlReference& base, uint32_t count, const UriOf& uriOf,
                        std::vector<Entry>* entries = nullptr);

  // The lowest entry whose URI names `url`, a URL as Url::normalizedString() writes it without
  // user name and password; absent when none does. `base` and `uriOf` are those it was built
  // with.
  std::optional<uint32_t> find(std::string_view url, const UrlReference& base,
                               const UriOf& uriOf) const;

  // What it holds, in bytes.
  size_t bytes() const { return items_.capacity() * sizeof(Item); }

 private:
  struct Item {
    uint64_t hash;
    uint32_t entry;
  };
  // By hash, then by URL, then by entry: the lowest entry of a URL comes first.
  std::vector<Item> items_;
};

}  // namespace ombrelia
