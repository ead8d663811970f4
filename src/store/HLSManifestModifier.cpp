#include "store/HLSManifestModifier.hpp"

#include <algorithm>
#include <optional>

#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/url/Utf8.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "playlist/tags/StringInitializable.hpp"

namespace ombrelia {
namespace {

constexpr std::string_view kStreamInf = "#EXT-X-STREAM-INF:";
constexpr std::string_view kResolution = "RESOLUTION=";

void debug(std::string_view message) {
  OmbreliaLogger::debug(message, OLogModule::hlsManifestModifier);
}

bool debugEnabled() {
  return OmbreliaLogger::isEnabled(OLogLevel::debug, OLogModule::hlsManifestModifier);
}

std::string describeLines(const std::vector<std::string_view>& lines) {
  std::string out = "[";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append("\"").append(lines[i]).append("\"");
  }
  return out + "]";
}

// Width and height when the text is two integers around an "x".
std::optional<std::pair<int64_t, int64_t>> parseResolution(std::string_view text) {
  std::vector<int64_t> numbers;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('x', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    if (!piece.empty()) {
      if (auto value = StringInitializable<int64_t>::make(piece)) numbers.push_back(*value);
    }
    start = end + 1;
  }
  if (numbers.size() != 2) return std::nullopt;
  return std::make_pair(numbers[0], numbers[1]);
}

}  // namespace

std::string HLSManifestModifier::describe(const std::vector<ResolutionEntry>& entries) {
  std::string out = "[";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append("(resolution: \"")
        .append(entries[i].resolution)
        .append("\", lineIndex: ")
        .append(std::to_string(entries[i].lineIndex))
        .append(")");
  }
  return out + "]";
}

std::vector<HLSManifestModifier::ResolutionEntry> HLSManifestModifier::extractResolutions(
    const std::vector<std::string_view>& lines) {
  // Counted first: every line may be a variant, and a list grown as it goes holds its old room
  // and its new one at once.
  size_t variants = 0;
  for (const std::string_view line : lines) variants += line.starts_with(kStreamInf) ? 1 : 0;
  std::vector<ResolutionEntry> entries;
  entries.reserve(variants);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (!line.starts_with(kStreamInf)) continue;
    const size_t at = line.find(kResolution);
    if (at == std::string_view::npos) continue;
    std::string_view value = line.substr(at + kResolution.size());
    value = value.substr(0, value.find(','));
    entries.push_back({std::string(value), static_cast<int64_t>(i)});
  }
  return entries;
}

std::pair<std::vector<uint32_t>, size_t> HLSManifestModifier::sortResolutions(
    const std::vector<ResolutionEntry>& entries) {
  // Entries that do not read as width x height are neither before nor after any other; ordering
  // them after the readable ones in playlist order keeps the sort a strict weak ordering. Only
  // their places are sorted: the entries, their texts included, stay where they are.
  std::vector<std::pair<std::pair<int64_t, int64_t>, uint32_t>> parsed;
  std::vector<uint32_t> unparsed;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (auto size = parseResolution(entries[i].resolution)) {
      parsed.emplace_back(*size, static_cast<uint32_t>(i));
    } else {
      unparsed.push_back(static_cast<uint32_t>(i));
    }
  }
  std::stable_sort(parsed.begin(), parsed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> order;
  order.reserve(entries.size());
  for (const auto& [size, index] : parsed) order.push_back(index);
  const size_t parsedCount = order.size();
  order.insert(order.end(), unparsed.begin(), unparsed.end());
  return {std::move(order), parsedCount};
}

std::vector<HLSManifestModifier::ResolutionEntry> HLSManifestModifier::inOrder(
    const std::vector<ResolutionEntry>& entries, const std::vector<uint32_t>& order) {
  std::vector<ResolutionEntry> sorted;
  sorted.reserve(order.size());
  for (const uint32_t index : order) sorted.push_back(entries[index]);
  return sorted;
}

size_t HLSManifestModifier::mostHeldBytes(std::string_view text) {
  if (!OmbreliaConfig::shared().currentLevel()) return 0;
  if (text.find(kStreamInf) == std::string_view::npos) return 0;
  return kMostBytesPerLine * PlaylistLines::count(text) + kMostBytesPerByte * text.size();
}

void HLSManifestModifier::deleteLinesExceptResolution(
    std::vector<std::string_view>& lines, const std::vector<ResolutionEntry>& extractedResolutions,
    int64_t selectedResolutionIndex) {
  // Marked first, then the lines kept moved up in one pass: erasing each variant's lines moved
  // every later line each time, and a master of 131,072 variants took 37 s of CPU.
  std::vector<bool> marked(lines.size(), false);
  for (const ResolutionEntry& entry : extractedResolutions) {
    if (entry.lineIndex == selectedResolutionIndex) continue;
    const auto tagLine = static_cast<size_t>(entry.lineIndex);
    if (tagLine >= lines.size()) continue;
    marked[tagLine] = true;
    // The variant's URI line: the next line that is neither empty nor a tag or comment. Another
    // variant's tag line ends the search, so a variant without a URI never takes its neighbour's,
    // and no line is searched past twice.
    for (size_t i = tagLine + 1; i < lines.size(); ++i) {
      if (lines[i].starts_with(kStreamInf)) break;
      if (lines[i].empty() || lines[i].starts_with("#")) continue;
      marked[i] = true;
      break;
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!marked[i]) lines[kept++] = lines[i];
  }
  lines.resize(kept);
}

Data HLSManifestModifier::modifyManifest(const Data& manifestData,
                                         const platform::CancellationToken* cancellation) const {
  const std::optional<int64_t> configured = OmbreliaConfig::shared().currentLevel();
  if (!configured) {
    debug("currentLevel not defined: AVPlayer will manage quality");
    return manifestData;
  }
  const std::string_view text = manifestData.view();
  const bool logging = debugEnabled();
  // Without a variant nothing is pinned: a media playlist is passed on without a list of its
  // lines being made, unless the debug lines are to show them, and before its UTF-8 is checked,
  // which would cost a large one a tenth of its way through the proxy for nothing.
  if (!logging && text.find(kStreamInf) == std::string_view::npos) return manifestData;
  if (!Utf8::isValid(text)) return manifestData;
  // The level is set by the application; a negative one selects the lowest variant.
  const int64_t level = std::max<int64_t>(0, *configured);

  std::vector<std::string_view> lines = PlaylistLines::split(text);
  if (logging) debug("Modifying manifest: " + describeLines(lines));
  std::vector<ResolutionEntry> entries = extractResolutions(lines);
  if (logging) debug("Found resolutions: " + describe(entries));
  auto [order, parsedCount] = sortResolutions(entries);
  if (logging) debug("Sorted resolutions: " + describe(inOrder(entries, order)));
  debug("Current level defined:: " + std::to_string(*configured));

  // The level indexes the readable resolutions when there are any, otherwise the others.
  // The readable ones come first in the sorted list.
  const size_t groupSize = parsedCount > 0 ? parsedCount : order.size();
  std::optional<int64_t> selected;
  if (static_cast<uint64_t>(level) < groupSize) {
    selected = entries[order[static_cast<size_t>(level)]].lineIndex;
  } else {
    debug("Finding best resolution...");
    if (groupSize > 0) selected = entries[order[groupSize - 1]].lineIndex;
  }
  if (!selected) {
    debug("No resolutions found");
    return manifestData;
  }
  debug("Selected resolution line index: " + std::to_string(*selected));
  if (cancellation && cancellation->isCancelled()) return manifestData;
  deleteLinesExceptResolution(lines, entries, *selected);
  if (logging) debug("Modification done: " + describeLines(lines));

  // Room for exactly what is kept: one variant of a large master is a few lines.
  size_t kept = lines.empty() ? 0 : lines.size() - 1;
  for (const std::string_view line : lines) kept += line.size();
  std::string out;
  out.reserve(kept);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out.append(lines[i]);
  }
  return Data(std::move(out));
}

std::vector<std::string> HLSManifestModifier::getResolutions(const Data& manifestData) const {
  const std::string_view text = manifestData.view();
  if (!Utf8::isValid(text)) return {};
  std::vector<ResolutionEntry> entries = extractResolutions(PlaylistLines::split(text));
  const std::vector<uint32_t> order = sortResolutions(entries).first;
  std::vector<std::string> out;
  out.reserve(order.size());
  for (const uint32_t index : order) out.push_back(std::move(entries[index].resolution));
  return out;
}

}  // namespace ombrelia
