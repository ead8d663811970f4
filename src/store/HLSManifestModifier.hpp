#pragma once
// Any thread: no state of its own; reads the current level from the settings at every call.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ombrelia/Data.hpp>

#include "platform/CancellationToken.hpp"

namespace ombrelia {

// Pins playback to one quality: with a level configured, a master playlist is reduced to the one
// variant that the level selects among the variants ordered by resolution. Plain line processing;
// the playlist parser is not involved.
class HLSManifestModifier {
 public:
  // The same bytes when no level is configured, when the playlist has no variant with a
  // RESOLUTION attribute, or when the bytes are not UTF-8.
  // Once `cancellation` is cancelled (its player has gone), the bytes come back as they were.
  Data modifyManifest(const Data& manifestData,
                      const platform::CancellationToken* cancellation = nullptr) const;
  // The RESOLUTION texts of the variants, sorted as for pinning; empty for bytes that are not
  // UTF-8.
  std::vector<std::string> getResolutions(const Data& manifestData) const;

  // The most modifyManifest() holds at once for `text`, besides the text: nothing when it passes
  // the text on (no level configured, no variant); else a view of each line, a record of each
  // variant and the order they sort in, and the pinned text. Every line may be a variant.
  static size_t mostHeldBytes(std::string_view text);

 private:
  struct ResolutionEntry {
    std::string resolution;
    int64_t lineIndex;
  };
  // What one line may cost the pinning, measured on 524,288 variant lines: its view (16 bytes),
  // its variant's record (40) and place in the sort (28), a mark.
  static constexpr size_t kMostBytesPerLine = 88;
  // And each byte: a variant's RESOLUTION text copied into its record, and the pinned text.
  static constexpr size_t kMostBytesPerByte = 2;

  static std::vector<ResolutionEntry> extractResolutions(
      const std::vector<std::string_view>& lines);
  // The order of `entries` for pinning: those that read as width x height, ascending by width
  // then height, then the others in playlist order. The second value is how many entries read
  // as width x height.
  static std::pair<std::vector<uint32_t>, size_t> sortResolutions(
      const std::vector<ResolutionEntry>& entries);
  static std::vector<ResolutionEntry> inOrder(const std::vector<ResolutionEntry>& entries,
                                              const std::vector<uint32_t>& order);
  static void deleteLinesExceptResolution(std::vector<std::string_view>& lines,
                                          const std::vector<ResolutionEntry>& extractedResolutions,
                                          int64_t selectedResolutionIndex);
  static std::string describe(const std::vector<ResolutionEntry>& entries);
};

}  // namespace ombrelia
