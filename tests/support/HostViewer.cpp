#include "support/HostViewer.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "support/SegmentDigests.hpp"

namespace ombrelia::test {

HostViewer::HostViewer(std::string name, std::unique_ptr<ChildProcess> process)
    : name_(std::move(name)), process_(std::move(process)) {}

void HostViewer::poll(std::chrono::milliseconds wait) {
  static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
  static const std::regex row(R"(^([a-z][a-z ]*[a-z]) {2,}(.+)$)");
  static const std::regex openLine(R"(localDataChannel is open|remote channel "P2P" opened)");
  static const std::regex addLine(R"(\[PeerList\] (?:receivedOffer, )?add peer: ([0-9A-F-]{36}))");
  static const std::regex dropLine(
      R"(\[PeerList\] (?:remove peer|peer listed meanwhile or list full, dropping|)"
      R"(receivedOffer, not applied, dropping): ([0-9A-F-]{36}))");
  while (auto line = process_->readLine(wait)) {
    std::smatch m;
    if (std::regex_search(*line, m, uuidLine)) {
      uuid_ = m[1];
      ++uuidCount_;
    }
    if (std::regex_search(*line, m, addLine)) listedPeers_.insert(m[1]);
    if (std::regex_search(*line, m, dropLine)) listedPeers_.erase(m[1]);
    if (auto digest = SegmentDigests::fromLine(*line)) {
      digests_.push_back(*digest);
    } else if (std::regex_match(*line, m, row)) {
      table_[m[1]] = m[2];
      if (m[1] == "seconds stalled") finished_ = true;  // the table's last row
    }
    if (line->find("segment is available: ") != std::string::npos ||
        line->find("responde to peer about awaiting segment") != std::string::npos)
      uploading_ = true;
    if (std::regex_search(*line, openLine)) {
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
