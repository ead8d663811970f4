// Three processes of the example host application play one live stream, each through its own
// proxy, meeting through the test tracker: every segment they receive is the origin's, byte for
// byte; the later viewers take some of theirs from peers; nobody stalls.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <csignal>
#include <map>
#include <regex>
#include <set>

#include "support/ChildProcess.hpp"
#include "support/LiveOrigin.hpp"
#include "support/LocalTracker.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char* const hex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

struct Viewer {
  std::string name;
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;
  std::vector<std::pair<std::string, std::string>> digests;  // path, SHA-256
  std::map<std::string, std::string> table;                  // the summary's rows
  bool finished = false;

  void poll() {
    while (auto line = process->readLine(20ms)) {
      static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
      static const std::regex digestLine(R"(^digest (\S+) ([0-9a-f]{64})$)");
      static const std::regex row(R"(^([a-z][a-z ]*[a-z]) {2,}(.+)$)");
      std::smatch m;
      if (std::regex_search(*line, m, uuidLine)) uuid = m[1];
      if (std::regex_match(*line, m, digestLine)) digests.emplace_back(m[1], m[2]);
      if (std::regex_match(*line, m, row)) table[m[1]] = m[2];
      if (line->starts_with("seconds stalled")) finished = true;  // the table's last row
    }
  }
  long long number(const std::string& row) const {
    const auto it = table.find(row);
    return it == table.end() ? -1 : std::stoll(it->second);
  }
};

// About a minute of media per viewer, in 4 s segments: a player starts three segments behind
// the live edge, so it holds 8 to 12 s of media, over the library's buffer gate for peer
// requests, while the next segment appears.
constexpr int kSegmentSeconds = 4;
constexpr const char* kMediaSeconds = "60";
constexpr auto kStagger = 3s;

TEST(LiveViewers, ThreeViewersPlayTheOriginsSegmentsWithPeerHelpAndNoStall) {
  LiveOrigin origin(LiveOrigin::Settings{.segmentSeconds = kSegmentSeconds});
  ASSERT_TRUE(origin.running()) << "the live origin did not start";
  ASSERT_TRUE(origin.waitForSegments(3, 60s)) << "the encoder wrote no three segments";
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";

  std::vector<Viewer> viewers(3);
  auto pollAll = [&] {
    for (auto& v : viewers)
      if (v.process) v.poll();
  };
  for (size_t i = 0; i < viewers.size(); ++i) {
    auto& v = viewers[i];
    v.name = "live-" + std::to_string(i + 1);
    v.process = tracker.startHost("play", origin.url("/master.m3u8"),
                                  {"--seconds", kMediaSeconds, "--digests", "--quiet",
                                   "--client-id", v.name, "--log-level", "3"});
    const auto uuidDeadline = Clock::now() + 30s;
    while (!v.uuid && Clock::now() < uuidDeadline) pollAll();
    ASSERT_TRUE(v.uuid) << v.name << " never got its identifier";
    // The next viewer comes a few seconds later, as viewers of an event do.
    const auto nextStart = Clock::now() + kStagger;
    while (i + 1 < viewers.size() && Clock::now() < nextStart) pollAll();
  }
  // A minute of media in real time, plus the start and generous room for a loaded machine.
  const auto deadline = Clock::now() + 200s;
  auto allFinished = [&] {
    return std::all_of(viewers.begin(), viewers.end(), [](auto& v) { return v.finished; });
  };
  while (!allFinished() && Clock::now() < deadline) pollAll();

  for (size_t i = 0; i < viewers.size(); ++i) {
    const auto& v = viewers[i];
    SCOPED_TRACE(v.name);
    ASSERT_TRUE(v.finished) << "never finished";
    EXPECT_EQ(v.table.at("result"), "played");
    EXPECT_EQ(v.table.at("stream"), "live");
    EXPECT_EQ(v.number("stalls"), 0) << "the player's buffer ran dry";
    EXPECT_EQ(v.number("segments missed"), 0);
    EXPECT_GE(std::stod(v.table.at("media seconds played")), 60.0);
    EXPECT_EQ(v.number("segments"), static_cast<long long>(v.digests.size()));
    std::set<std::string> seen;
    for (const auto& [path, digest] : v.digests) {
      EXPECT_TRUE(seen.insert(path).second) << path << " was requested twice";
      const auto original = origin.file(path);
      ASSERT_TRUE(original) << path << " is not a file of the origin";
      EXPECT_EQ(digest, sha256(*original)) << path << " differs from the origin's";
    }
    // Its first segments come from the origin while its buffer fills; later ones, which an
    // earlier viewer already holds, may come from peers.
    if (i > 0) {
      EXPECT_GT(v.number("bytes from peers"), 0) << "took no segment from peers";
    }
    std::printf("%s: %lld segments, %lld bytes from origin, %lld from peers\n", v.name.c_str(),
                v.number("segments"), v.number("bytes from origin"), v.number("bytes from peers"));
  }
  for (auto& v : viewers) v.process->stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace ombrelia::test
