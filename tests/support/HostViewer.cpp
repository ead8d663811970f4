#include "support/HostViewer.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string_view>

#include "support/SegmentDigests.hpp"

namespace ombrelia::test {

HostViewer::HostViewer(std::string name, std::unique_ptr<ChildProcess> process)
    : name_(std::move(name)), process_(std::move(process)) {}

void HostViewer::poll(std::chrono::milliseconds wait) {
  // Each pattern is tried only on a line holding its fixed text: a viewer under a flood writes
  // thousands of lines a second, and std::regex over each of them, slower still under a
  // sanitizer, held the test thread so long that the viewer's output pipe filled and the viewer
  // itself stopped at its next line.
  static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
  static const std::regex row(R"(^([a-z][a-z ]*[a-z]) {2,}(.+)$)");
  static const std::regex addLine(R"(\[PeerList\] (?:receivedOffer, )?add peer: ([0-9A-F-]{36}))");
  static const std::regex dropLine(
      R"(\[PeerList\] (?:remove peer|peer listed meanwhile or list full, dropping|)"
      R"(receivedOffer, not applied, dropping): ([0-9A-F-]{36}))");
  const auto holds = [](const std::string& line, std::string_view text) {
    return line.find(text) != std::string::npos;
  };
  while (auto line = process_->readLine(wait)) {
    std::smatch m;
    if (holds(*line, "Received UUID: ") && std::regex_search(*line, m, uuidLine)) {
      uuid_ = m[1];
      ++uuidCount_;
    }
    if (holds(*line, "[PeerList] ")) {
      if (std::regex_search(*line, m, addLine)) listedPeers_.insert(m[1]);
      if (std::regex_search(*line, m, dropLine)) listedPeers_.erase(m[1]);
    }
    // A row of the closing table starts with a lowercase word and keeps its value two spaces on.
    const bool mayBeRow =
        !line->empty() && (*line)[0] >= 'a' && (*line)[0] <= 'z' && holds(*line, "  ");
    if (auto digest = SegmentDigests::fromLine(*line)) {
      digests_.push_back(*digest);
    } else if (mayBeRow && std::regex_match(*line, m, row)) {
      table_[m[1]] = m[2];
      if (m[1] == "seconds stalled") finished_ = true;  // the table's last row
    }
    if (holds(*line, "segment is available: ") ||
        holds(*line, "responde to peer about awaiting segment"))
      uploading_ = true;
    if (holds(*line, "localDataChannel is open") || holds(*line, "remote channel \"P2P\" opened")) {
      channelOpen_ = true;
      ++channelsOpened_;
    }
    lines_.push_back(std::move(*line));
  }
}

long long HostViewer::openDescriptors() const {
  const std::string folder = "/proc/" + std::to_string(process_->pid()) + "/fd";
  std::error_code ec;
  long long count = 0;
  for (std::filesystem::directory_iterator it(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++count;
  return ec ? -1 : count;
}

std::optional<std::string> HostViewer::row(const std::string& name) const {
  const auto it = table_.find(name);
  if (it == table_.end()) return std::nullopt;
  return it->second;
}

long long HostViewer::number(const std::string& name) const {
  const auto value = row(name);
  return value ? std::stoll(*value) : -1;
}

void HostViewer::expectSegmentsMatch(
    const std::function<std::optional<std::string>(const std::string&)>& expected) const {
  SCOPED_TRACE(name_);
  EXPECT_FALSE(digests_.empty()) << "the player received no segment";
  for (const auto& [path, digest] : digests_) {
    const std::optional<std::string> original = expected(path);
    ASSERT_TRUE(original) << path << " is not a segment of the origin";
    EXPECT_EQ(digest, *original) << path << " differs from the origin's";
  }
}

void HostViewer::expectSegmentsMatch(const std::map<std::string, std::string>& expected) const {
  expectSegmentsMatch([&](const std::string& path) -> std::optional<std::string> {
    const auto it = expected.find(path);
    if (it == expected.end()) return std::nullopt;
    return it->second;
  });
}

void HostViewer::printLinesWith(const std::vector<std::string>& words) const {
  for (const auto& line : lines_) {
    for (const auto& word : words) {
      if (line.find(word) == std::string::npos) continue;
      std::printf("%s: %s\n", name_.c_str(), line.c_str());
      break;
    }
  }
}

}  // namespace ombrelia::test
