// Two processes of the example host application play one stream, each from its own nginx
// origin, meet through the test tracker and exchange segments; the analytics records the
// tracker received are then checked against what the origins served, what the segments weigh
// and what the viewers say they sent each other.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.hpp"
#include "support/LocalTracker.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using namespace std::chrono_literals;

struct Viewer {
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;  // lower case, as the records carry it
  bool finished = false;
  std::map<std::string, long long> totals;  // the last value of each "bytes ..." line
  std::vector<std::string> peerLines;       // how it met its peers, for a failure to show

  void take(const std::string& line) {
    for (const char* word : {"subscription", "not asked of a peer", "peer removed", "treated as"}) {
      if (line.find(word) != std::string::npos) {
        peerLines.push_back(line);
        break;
      }
    }
    static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
    static const std::regex totalLine(R"(^(bytes [a-z ]+?)\s+(\d+)$)");
    std::smatch m;
    if (std::regex_search(line, m, uuidLine)) {
      std::string id = m[1];
      for (auto& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      uuid = id;
    }
    if (std::regex_search(line, m, totalLine)) totals[m[1]] = std::stoll(m[2]);
    if (line.starts_with("result")) finished = true;
  }
  void poll() {
    while (auto line = process->readLine(20ms)) take(*line);
  }
  // Stops the viewer and reads what it printed last (its totals at the end).
  void stop() {
    ::kill(process->pid(), SIGTERM);
    std::string rest = process->readAll(20s);
    size_t start = 0;
    for (size_t end; (end = rest.find('\n', start)) != std::string::npos; start = end + 1)
      take(rest.substr(start, end - start));
    process->wait(test::scaledWait(10s));
  }
};

// The KiB the records count for a segment of `bytes` bytes: each segment is counted on its own,
// truncated toward zero.
long long kib(long long bytes) { return bytes / 1024; }

// From an nginx access log: the bytes of every whole answer to a playlist or a segment, by path.
std::map<std::string, long long> served(const std::vector<std::string>& accessLog) {
  static const std::regex line(R"x("GET ([^ ?"]+\.(ts|m3u8))[^"]*" 200 (\d+))x");
  std::map<std::string, long long> bytes;
  for (const auto& entry : accessLog) {
    std::smatch m;
    if (std::regex_search(entry, m, line)) bytes[m[1]] += std::stoll(m[3]);
  }
  return bytes;
}

// The segments of the variant that level 0 pins (the lowest resolution), as origin paths with
// their sizes on disk.
std::map<std::string, long long> pinnedSegments(const std::string& folder) {
  std::ifstream master(folder + "/master.m3u8");
  std::string line;
  std::string variant;
  long long lowest = -1;
  static const std::regex resolution(R"(RESOLUTION=(\d+)x(\d+))");
  while (std::getline(master, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, resolution)) continue;
    const long long width = std::stoll(m[1]);
    std::string uri;
    std::getline(master, uri);
    if (lowest < 0 || width < lowest) {
      lowest = width;
      variant = uri;
    }
  }
  const std::string dir = variant.substr(0, variant.rfind('/'));
  std::ifstream playlist(folder + "/" + variant);
  std::map<std::string, long long> segments;
  while (std::getline(playlist, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::string path = "/" + dir + "/" + line;
    segments[path] = static_cast<long long>(std::filesystem::file_size(folder + path));
  }
  return segments;
}

// "2026-12-06T23:10:00.123Z" in milliseconds since the epoch.
long long milliseconds(const std::string& stamp) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<long long>(timegm(&tm)) * 1000 + ms;
}

struct Records {
  std::vector<std::string> kinds;  // "init" or "periodic", in order of arrival
  std::vector<json> periodic;
};

Records recordsOf(const std::vector<LocalTracker::AnalyticsRecord>& all, const std::string& uuid) {
  Records records;
  for (const auto& record : all) {
    const json envelope = json::parse(record.text, nullptr, false);
    if (!envelope.is_object() || !envelope.contains("data")) continue;
    const json& data = envelope["data"];
    if (data.contains("new_client_uuid") && data["new_client_uuid"] == uuid) {
      records.kinds.push_back("init");
    } else if (data.contains("client_uuid") && data["client_uuid"] == uuid) {
      records.kinds.push_back("periodic");
      records.periodic.push_back(data);
    }
  }
  return records;
}

// The sum over the records of a figure, or of a figure of one of their sub-records.
long long sum(const std::vector<json>& records, const std::string& key,
              const std::string& within = "") {
  long long total = 0;
  for (const auto& record : records) {
    const json& holder = within.empty() ? record : record[within];
    total += holder.value(key, 0LL);
  }
  return total;
}

TEST(AnalyticsEndToEnd, RecordsMatchTheOriginsTheSegmentsAndWhatThePeersExchanged) {
  LocalTracker tracker(/*groupAfterUuid=*/true);
  ASSERT_TRUE(tracker.url()) << "no tracker";
  const std::string folder = SampleStream::folder("ts3", 60, 2);
  // One origin per viewer, so that each access log is one viewer's.
  StreamOrigin firstOrigin(folder);
  StreamOrigin secondOrigin(folder);
  auto start = [&](const StreamOrigin& origin, const std::string& name) {
    Viewer v;
    // A device class the records keep per-interval totals for: the television's.
    v.process = tracker.startHost(
        "play", origin.url("/master.m3u8"),
        {"--speed", "6", "--client-id", name, "--quiet", "--stay", "--log-level", "3"},
        {"SIMULATOR_MODEL_IDENTIFIER=AppleTV5,3"});
    return v;
  };
  Viewer first = start(firstOrigin, "viewer-1");
  const auto firstDeadline = Clock::now() + test::scaledWait(10s);
  while (!first.uuid && Clock::now() < firstDeadline) first.poll();
  ASSERT_TRUE(first.uuid) << "the first viewer never got its identifier";
  // The second starts some segments behind, so that its first subscription, made while the
  // first holds all it asks for, is to the first. Started together, either may be ahead and
  // subscribe first; the other is refused for as long as that holds (two viewers never serve
  // each other), and on a loaded machine the first could hold it to the end.
  constexpr size_t kSegmentsAhead = 10;
  const auto segmentsServed = [&] {
    size_t count = 0;
    for (const auto& [path, bytes] : served(firstOrigin.accessLog()))
      count += path.ends_with(".ts");
    return count;
  };
  const auto aheadDeadline = Clock::now() + test::scaledWait(30s);
  while (segmentsServed() < kSegmentsAhead && Clock::now() < aheadDeadline) first.poll();
  ASSERT_GE(segmentsServed(), kSegmentsAhead) << "the first viewer did not play on";
  Viewer second = start(secondOrigin, "viewer-2");

  const auto playDeadline = Clock::now() + test::scaledWait(60s);
  while (Clock::now() < playDeadline && !(first.finished && second.finished)) {
    first.poll();
    second.poll();
  }
  ASSERT_TRUE(first.finished && second.finished) << "a viewer never finished playing";
  ASSERT_TRUE(second.uuid);

  // Whatever was counted before playing ended is in the next record of each viewer, and two
  // records at least show the interval between reports.
  const auto all = tracker.analyticsRecords();
  const size_t firstSeen = recordsOf(all, *first.uuid).periodic.size();
  const size_t secondSeen = recordsOf(all, *second.uuid).periodic.size();
  auto enough = [](size_t count, size_t seen) { return count > seen && count >= 2; };
  const auto reportDeadline = Clock::now() + test::scaledWait(40s);
  std::vector<LocalTracker::AnalyticsRecord> received;
  while (Clock::now() < reportDeadline) {
    first.poll();
    second.poll();
    received = tracker.analyticsRecords();
    if (enough(recordsOf(received, *first.uuid).periodic.size(), firstSeen) &&
        enough(recordsOf(received, *second.uuid).periodic.size(), secondSeen)) {
      break;
    }
  }
  first.stop();
  second.stop();

  const auto segments = pinnedSegments(folder);
  ASSERT_FALSE(segments.empty());
  long long allSegmentsKiB = 0;
  for (const auto& [path, size] : segments) allSegmentsKiB += kib(size);

  const std::map<std::string, long long> servedTo[] = {served(firstOrigin.accessLog()),
                                                       served(secondOrigin.accessLog())};
  Viewer* viewers[] = {&first, &second};
  for (int v = 0; v < 2; ++v) {
    SCOPED_TRACE("viewer " + std::to_string(v + 1));
    const Records records = recordsOf(received, *viewers[v]->uuid);
    ASSERT_GE(records.periodic.size(), 2u) << "too few records reached the tracker";
    EXPECT_EQ(records.kinds.front(), "init") << "the init record comes first";
    EXPECT_EQ(std::count(records.kinds.begin(), records.kinds.end(), "init"), 1)
        << "the init record goes once the connection has taken it";
    for (size_t i = 1; i < records.periodic.size(); ++i) {
      const long long gap =
          milliseconds(records.periodic[i]["timestamp"].get<std::string>()) -
          milliseconds(records.periodic[i - 1]["timestamp"].get<std::string>());
      EXPECT_NEAR(static_cast<double>(gap), 10'000.0, 2'500.0) << "reports are 10 s apart";
    }

    long long originBytes = 0;
    for (const auto& [path, bytes] : servedTo[v]) originBytes += bytes;
    long long originKiB = 0;
    long long peerKiB = 0;
    long long peerBytes = 0;
    for (const auto& [path, size] : segments) {
      const auto fetched = servedTo[v].find(path);
      if (fetched == servedTo[v].end()) {
        peerKiB += kib(size);
        peerBytes += size;
      } else {
        EXPECT_EQ(fetched->second, size) << path << " served once and whole";
        originKiB += kib(size);
      }
    }
    // The records: what each segment weighs, by source, over all the intervals.
    EXPECT_EQ(sum(records.periodic, "MB_server", "tv"), originKiB)
        << "origin figures against the origin's access log";
    EXPECT_EQ(sum(records.periodic, "MB_peer", "tv"), peerKiB)
        << "peer figures against the segments that did not come from the origin";
    EXPECT_EQ(sum(records.periodic, "bestQuality") + sum(records.periodic, "otherQualities"),
              allSegmentsKiB)
        << "every segment counted once";
    // The totals since the start, to the byte.
    EXPECT_EQ(viewers[v]->totals["bytes from origin"], originBytes)
        << "playlists and segments, as the origin served them";
    EXPECT_EQ(viewers[v]->totals["bytes from peers"], peerBytes);
  }
  EXPECT_GT(viewers[1]->totals["bytes from peers"], 0)
      << "the second viewer took nothing from the first";
  if (::testing::Test::HasFailure()) {
    for (int v = 0; v < 2; ++v) {
      for (const auto& line : viewers[v]->peerLines)
        std::printf("viewer %d: %s\n", v + 1, line.c_str());
    }
  }

  // Sent by one, received by the other: the same bytes, except for each frame's header.
  constexpr long long kFrameHeaderBytes = 24;
  constexpr long long kChunkBytes = 15'900;  // a frame's share of a segment
  for (int v = 0; v < 2; ++v) {
    const long long sent = viewers[v]->totals["bytes sent to peers"];
    const long long got = viewers[1 - v]->totals["bytes from peers"];
    const long long frames = got / kChunkBytes + 1 + static_cast<long long>(segments.size());
    EXPECT_GE(sent, got) << "viewer " << v + 1 << " sent less than the other received";
    EXPECT_LE(sent - got, frames * kFrameHeaderBytes)
        << "viewer " << v + 1 << " sent more than the other received, headers aside";
  }
}

}  // namespace
}  // namespace ombrelia::test
