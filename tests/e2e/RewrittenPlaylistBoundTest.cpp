// Playlists that would swell in the viewer (one rewritten into a huge one, one of countless
// lines), served by the example host application beside ordinary playlists at long signed URLs:
// the player gets an error for each of the first within bounded memory, and the others play as
// before.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "proxy/PlaylistContent.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/CpuTime.hpp"
#include "support/HostProgram.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ResidentMemory.hpp"
#include "support/SampleStream.hpp"
#include "support/SignedQuery.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

// A folder for the origin to serve, its name starting with `prefix`: "m" in it holds the sample
// stream's first four segments, seg0.ts to seg3.ts.
std::filesystem::path originFolder(const std::string& prefix) {
  const std::filesystem::path from = SampleStream::folder("ts3") + "/v0";
  const auto root = std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "m");
  for (int n = 0; n < 4; ++n) {
    const std::string name = "seg" + std::to_string(n) + ".ts";
    std::filesystem::copy_file(from / name, root / "m" / name);
  }
  return root;
}

std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RewrittenPlaylistBound, SwellingPlaylistsGetAnErrorInBoundedMemoryAndLongUrlOnesStillPlay) {
  const auto root = originFolder("ombrelia-bound-");
  // Signed URLs as CDNs make them: 2,000 characters, and the 16 KiB the proxy promises to serve.
  const std::string q2k = signedQuery(2000);
  const std::string q16k = signedQuery(ReverseProxyURL::kMaxOriginURLBytes - 100);
  // A media playlist of `lines`, written to the origin's folder; its size.
  const auto write = [&](const std::string& name, const std::string& lines) {
    const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n" + lines + "#EXT-X-ENDLIST\n";
    std::ofstream(root / "m" / name, std::ios::binary) << playlist;
    return playlist.size();
  };
  // 40,000 keys whose empty URI is the playlist's own URL, which carries the long query; and
  // 400,000 one-line segments, each a record for the store to parse and keep.
  std::string lines;
  for (int n = 0; n < 40000; ++n) lines += "#EXT-X-KEY:METHOD=AES-128,URI=\"\"\n";
  const size_t bloating = write("bloating.m3u8", lines + "#EXTINF:2,\nseg0.ts\n");
  lines.clear();
  for (int n = 0; n < 400000; ++n) lines += "#EXTINF:1,\nx.ts\n";
  const size_t manyLines = write("lines.m3u8", lines);
  // 10,000 segments, and a few dozen each signed with the longest query.
  lines.clear();
  for (int n = 0; n < 10000; ++n) lines += "#EXTINF:2,\nseg" + std::to_string(n % 4) + ".ts\n";
  write("long.m3u8", lines);
  lines.clear();
  for (int n = 0; n < 36; ++n) {
    lines += "#EXTINF:2,\nseg" + std::to_string(n % 4) + ".ts?n=" + std::to_string(n) + "&" +
             q16k.substr(20) + "\n";
  }
  write("sixteen.m3u8", lines);
  std::ofstream(root / "m" / "master.m3u8")
      << "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000\nlines.m3u8\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=200000\nbloating.m3u8?" +
             q2k + "\n#EXT-X-STREAM-INF:BANDWIDTH=400000\nlong.m3u8?" + q2k +
             "\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nsixteen.m3u8?" + q16k + "\n";
  {
    StreamOrigin origin(root.string());
    ASSERT_TRUE(origin.running());
    ChildProcess serve(
        {kHost, "serve", origin.url("/m/master.m3u8?" + q2k), "--whole", "--port", "0",
         "--log-level", "1"},
        ChildProcess::Settings{
            .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
    const auto local = serve.readLine(test::scaledWait(10s));
    ASSERT_TRUE(local && local->starts_with("http://127.0.0.1:")) << local.value_or("no URL line");
    const Fetched master = fetchWithCurl(*local);
    const auto variants = localUrlsIn(master.body);
    ASSERT_EQ(variants.size(), 4u) << master.body.substr(0, 300);

    // Each refused: an error for the player, one line in the log with both sizes, and no more
    // memory than `held`: the playlist a few times over (the body, its stored copy, what the
    // store reads of it) and what else it may make.
    const auto refusedWithin = [&](const std::string& url, size_t playlist, size_t limit,
                                   size_t held) {
      Fetched answer;
      const size_t growth = residentGrowth(serve.pid(), [&] { answer = fetchWithCurl(url); });
      EXPECT_EQ(answer.status, 500) << answer.body.size() << " bytes answered";
      EXPECT_LT(growth, kResidentPerHeapByte * (held + 16 * 1024 * 1024))
          << "resident memory grew by " << growth << " bytes";
      std::vector<std::string> said;
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      for (auto line = serve.readLine(1s); line && std::chrono::steady_clock::now() < deadline;
           line = serve.readLine(300ms)) {
        if (line->find("not served") != std::string::npos) said.push_back(*line);
      }
      ASSERT_EQ(said.size(), 1u) << "one line for the playlist refused";
      for (const size_t size : {playlist, limit}) {
        EXPECT_NE(said[0].find(" " + std::to_string(size) + " "), std::string::npos) << said[0];
      }
    };
    refusedWithin(variants[0], manyLines, PlaylistContent::kMaxLines, 4 * manyLines);
    refusedWithin(variants[1], bloating, PlaylistRewriter::kMaxRewrittenBytes,
                  PlaylistRewriter::kMaxRewrittenBytes + 16 * bloating);

    // The viewer goes on serving: 10,000 segments at a URL with a 2,000-character query, and a
    // few dozen at URLs of 16 KiB, reach the player whole.
    const std::vector<std::pair<std::string, size_t>> playlists = {{variants[2], 10000},
                                                                   {variants[3], 36}};
    for (const auto& [url, count] : playlists) {
      const Fetched media = fetchWithCurl(url);
      EXPECT_EQ(media.status, 200) << count;
      const auto segments = localUrlsIn(media.body);
      ASSERT_EQ(segments.size(), count) << media.body.substr(0, 300);
      for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, count - 1}) {
        const Fetched segment = fetchWithCurl(segments[n]);
        EXPECT_EQ(segment.status, 200) << n << " of " << count;
        EXPECT_TRUE(segment.body == fileBytes(root / "m" / ("seg" + std::to_string(n % 4) + ".ts")))
            << "segment " << n << " of " << count << ": " << segment.body.size() << " bytes";
      }
    }
    EXPECT_EQ(serve.stop(SIGTERM, 10s), 0);
  }
  std::filesystem::remove_all(root);
}

// Playlists at long URLs, from an origin that answers any path: a relative URI resolves to a URL
// as long as its playlist's. 2,000 short segments behind a redirect to a 60,000-byte path made
// the viewer keep 240 MB of URLs and log 2,000 lines; 20,000 URIs with an "@" under a
// 40,000-byte path took it 5.4 s of CPU. Each costs what its text does, and a stream at long
// signed URLs still plays byte for byte in the same viewer.
TEST(RewrittenPlaylistBound, PlaylistsAtLongUrlsCostTheirTextAndLongUrlStreamsStillPlay) {
  const auto root = originFolder("ombrelia-urls-");
  const std::string q2k = signedQuery(2000);
  std::string segments;
  for (int n = 0; n < 4; ++n)
    segments += "#EXTINF:2,\nseg" + std::to_string(n) + ".ts?" + q2k + "\n";
  std::ofstream(root / "m" / "signed.m3u8")
      << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n" + segments +
             "#EXT-X-ENDLIST\n";
  std::ofstream(root / "m" / "master.m3u8")
      << "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000\nsigned.m3u8?" + q2k + "\n";

  TestHttpServer hostile;
  const std::string longPath = "/" + std::string(60000, 'p') + "/m.m3u8";
  const std::string atPath = "/" + std::string(40000, 'a') + "/at.m3u8";
  std::string shortUris = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n";
  std::string atUris = shortUris;
  for (int n = 0; n < 2000; ++n) shortUris += "#EXTINF:2,\ns" + std::to_string(n) + ".ts\n";
  for (int n = 0; n < 20000; ++n) atUris += "#EXTINF:2,\n//u:1\\@h/x\n";
  hostile.route("/r/m.m3u8", TestHttpResponse::redirect(longPath));
  hostile.route(longPath, TestHttpResponse::ok(shortUris, "application/vnd.apple.mpegurl"));
  hostile.route(atPath, TestHttpResponse::ok(atUris, "application/vnd.apple.mpegurl"));
  {
    StreamOrigin origin(root.string());
    ASSERT_TRUE(origin.running());
    ChildProcess serve(
        {kHost, "serve", origin.url("/m/master.m3u8"), "--whole", "--port", "0", "--log-level",
         "1"},
        ChildProcess::Settings{
            .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
    const auto local = serve.readLine(test::scaledWait(10s));
    ASSERT_TRUE(local && local->starts_with("http://127.0.0.1:")) << local.value_or("no URL line");
    const int port = std::stoi(local->substr(std::string("http://127.0.0.1:").size()));
    const auto localOf = [port](const std::string& origin) {
      return ReverseProxyURL::make(*Url::parse(origin), port)->toString();
    };
    const Fetched master = fetchWithCurl(*local);
    const auto variants = localUrlsIn(master.body);
    ASSERT_EQ(variants.size(), 1u) << master.body.substr(0, 300);

    // The short URIs are left as written: their local URLs would be too long to serve.
    Fetched answer;
    const Growth growth = residentGrowthOf(
        serve.pid(), [&] { answer = fetchWithCurl(localOf(hostile.url("/r/m.m3u8"))); });
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(answer.body == shortUris) << answer.body.size() << " bytes answered";
    EXPECT_LT(growth.peak, kResidentPerHeapByte * 24 * 1024 * 1024)
        << "resident memory rose by " << growth.peak << " bytes";
    // What the allocator keeps besides (a sanitizer's quarantine, its free lists) counts too.
    EXPECT_LT(growth.held, kResidentPerHeapByte * 32 * 1024 * 1024)
        << "resident memory held " << growth.held << " bytes more after the answer";
    size_t noLocalUrl = 0;
    for (auto line = serve.readLine(1s); line; line = serve.readLine(300ms)) {
      if (line->find("No local URL for") != std::string::npos) ++noLocalUrl;
    }
    EXPECT_GT(noLocalUrl, 0u);
    EXPECT_LE(noLocalUrl, PlaylistRewriter::kMaxLoggedUris) << "lines for 2,000 URIs";

    const double cpu = processCpuSeconds(serve.pid());
    answer = fetchWithCurl(localOf(hostile.url(atPath)));
    const double spent = processCpuSeconds(serve.pid()) - cpu;
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.find("u:1"), std::string::npos) << "what libcurl reads as a password";
    EXPECT_LT(spent, 1.5 * kSanitizerSlowdown) << "seconds of CPU for 20,000 URIs";

    // The stream at long signed URLs reaches the player whole.
    const Fetched media = fetchWithCurl(variants[0]);
    EXPECT_EQ(media.status, 200);
    const auto urls = localUrlsIn(media.body);
    ASSERT_EQ(urls.size(), 4u) << media.body.substr(0, 300);
    for (size_t n = 0; n < urls.size(); ++n) {
      const Fetched segment = fetchWithCurl(urls[n]);
      EXPECT_EQ(segment.status, 200) << n;
      EXPECT_TRUE(segment.body == fileBytes(root / "m" / ("seg" + std::to_string(n) + ".ts")))
          << "segment " << n << ": " << segment.body.size() << " bytes";
    }
    EXPECT_EQ(serve.stop(SIGTERM, 10s), 0);
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace ombrelia::test
