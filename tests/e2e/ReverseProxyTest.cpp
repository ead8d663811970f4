// A real HLS client (ffmpeg, ffprobe) plays streams that ffmpeg generated and nginx serves,
// through the library's proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "support/ChildProcess.hpp"
#include "support/ProxyFixture.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

std::string md5Of(const std::string& url) {
  const auto r = ChildProcess::run({"ffmpeg", "-v", "error", "-nostdin", "-i", url, "-map", "0",
                                    "-c", "copy", "-f", "md5", "-"});
  EXPECT_EQ(r.exitCode, 0) << url << "\n" << r.output;
  return r.output;
}

// "width,height" of every video stream ffprobe sees.
std::vector<std::string> videoSizes(const std::string& url) {
  const auto r = ChildProcess::run({"ffprobe", "-v", "error", "-select_streams", "v",
                                    "-show_entries", "stream=width,height", "-of", "csv=p=0", url});
  EXPECT_EQ(r.exitCode, 0) << url;
  std::vector<std::string> sizes;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) sizes.push_back(line);
  }
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  return sizes;
}

int httpStatus(const std::string& url) {
  const auto r = ChildProcess::run({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", url});
  return std::atoi(r.output.c_str());
}

size_t requestsMatching(const StreamOrigin& origin, const std::string& pattern) {
  const std::regex re(pattern);
  size_t n = 0;
  for (const auto& line : origin.accessLog()) n += std::regex_search(line, re) ? 1 : 0;
  return n;
}

TEST(ReverseProxy, PinsTheLowestVariantAtLevelZero) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ASSERT_TRUE(origin.running());
  ProxyFixture proxy(ProxyFixture::Settings{.level = 0});
  EXPECT_EQ(videoSizes(proxy.local(origin.url("/master.m3u8"))),
            std::vector<std::string>{"256,144"});
}

TEST(ReverseProxy, PinsTheHighestVariantForALevelPastTheEnd) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy(ProxyFixture::Settings{.level = 7});
  EXPECT_EQ(videoSizes(proxy.local(origin.url("/master.m3u8"))),
            std::vector<std::string>{"640,360"});
}

TEST(ReverseProxy, WholePlaylistReadsTheSameBytesAsTheOriginAndEveryRequestCameThroughIt) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy(ProxyFixture::Settings{.level = std::nullopt});
  EXPECT_EQ(videoSizes(proxy.local(origin.url("/master.m3u8"))).size(), 3u);
  const std::string direct = md5Of(origin.url("/master.m3u8"));
  const size_t directRequests = origin.accessLog().size();
  const std::string proxied = md5Of(proxy.local(origin.url("/master.m3u8")));
  EXPECT_EQ(proxied, direct);
  // Every request after the direct read came from the proxy's own client, none from ffmpeg.
  const auto log = origin.accessLog();
  for (size_t i = directRequests; i < log.size(); ++i) {
    EXPECT_NE(log[i].find("\"Ombrelia\""), std::string::npos) << "bypassed the proxy: " << log[i];
  }
}

TEST(ReverseProxy, LevelZeroReadsTheLowestVariantsBytes) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy;
  EXPECT_EQ(md5Of(proxy.local(origin.url("/master.m3u8"))), md5Of(origin.url("/v0/index.m3u8")));
}

TEST(ReverseProxy, RepeatedSegmentIsServedWithoutAnotherOriginRequest) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy;
  md5Of(proxy.local(origin.url("/master.m3u8")));  // stores the playlists and segments
  const std::string segment = proxy.local(origin.url("/v0/seg1.ts"));
  const size_t before = requestsMatching(origin, "GET /v0/seg1\\.ts");
  ASSERT_EQ(before, 1u);
  EXPECT_EQ(httpStatus(segment), 200);
  EXPECT_EQ(requestsMatching(origin, "GET /v0/seg1\\.ts"), before);
}

TEST(ReverseProxy, PlaysFmp4WithAnAudioGroupEncryptedCrLfAndByteRangeStreams) {
  for (const auto& [kind, playlist] :
       std::vector<std::pair<std::string, std::string>>{{"fmp4", "/master.m3u8"},
                                                        {"aes", "/master.m3u8"},
                                                        {"crlf", "/master.m3u8"},
                                                        {"single", "/index.m3u8"}}) {
    StreamOrigin origin(SampleStream::folder(kind));
    ProxyFixture proxy(ProxyFixture::Settings{.level = std::nullopt});
    EXPECT_EQ(md5Of(proxy.local(origin.url(playlist))), md5Of(origin.url(playlist))) << kind;
  }
}

// What the application reads as its origin bytes is what the origin sent, to the byte, also for
// what is never stored: the byte ranges of a single-file stream and fMP4 init segments.
TEST(ReverseProxy, CountsEveryOriginByteOfByteRangesAndInitSegments) {
  const std::regex sent(R"(" \d{3} (\d+) ")");
  for (const auto& [kind, playlist] : std::vector<std::pair<std::string, std::string>>{
           {"single", "/index.m3u8"}, {"fmp4", "/master.m3u8"}}) {
    StreamOrigin origin(SampleStream::folder(kind));
    ProxyFixture proxy(ProxyFixture::Settings{.level = std::nullopt});
    md5Of(proxy.local(origin.url(playlist)));
    // ffmpeg reads a single file on through its ranges in one request from its start, which the
    // proxy takes for the whole file: a player asking one range is asked for here.
    if (kind == "single") {
      const auto range = ChildProcess::run({"curl", "-s", "-o", "/dev/null", "-r", "1000-50999",
                                            proxy.local(origin.url("/index.ts"))});
      EXPECT_EQ(range.exitCode, 0);
    }
    int64_t served = 0;
    size_t ranges = 0;
    size_t inits = 0;
    for (const auto& line : origin.accessLog()) {
      std::smatch m;
      if (std::regex_search(line, m, sent)) served += std::stoll(m[1]);
      ranges += line.find("\"bytes=") != std::string::npos ? 1 : 0;
      inits += line.find("/init_") != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(kind == "single" ? ranges : inits, 0u) << kind << ": the case is not exercised";
    // A segment's body is counted once its transfer has ended, which the player may not wait for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (proxy.analytics().getDataCDN() != served && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(proxy.analytics().getDataCDN(), served) << kind;
  }
}

// Recording packagers name segments by the time they start: a colon in the first path segment,
// which browsers read as part of a path, not as a scheme.
TEST(ReverseProxy, PlaysSegmentsNamedByTheirTime) {
  const std::filesystem::path from = SampleStream::folder("ts3") + "/v0";
  const auto root = std::filesystem::temp_directory_path() /
                    ("ombrelia-timestamped-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "rec");
  std::ifstream in(from / "index.m3u8");
  std::ofstream out(root / "rec" / "index.m3u8");
  int segment = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with(".ts")) {
      const std::string seconds = (segment < 5 ? "0" : "") + std::to_string(2 * segment);
      const std::string name = (segment % 2 ? "seg_12:00:" : "2024-05-01T12:00:") + seconds + ".ts";
      std::filesystem::copy_file(from / line, root / "rec" / name);
      line = name;
      ++segment;
    }
    out << line << "\n";
  }
  out.close();
  ASSERT_EQ(segment, 4);
  {
    StreamOrigin origin(root.string());
    ProxyFixture proxy;
    // ffmpeg itself takes such a name for a file of its own, so the bytes are compared with
    // the stream it was copied from.
    EXPECT_EQ(md5Of(proxy.local(origin.url("/rec/index.m3u8"))),
              md5Of((from / "index.m3u8").string()));
  }
  std::filesystem::remove_all(root);
}

TEST(ReverseProxy, LevelZeroKeepsTheAudioOnlyVariantWithoutResolutionAndPlaysIt) {
  StreamOrigin origin(SampleStream::folder("fmp4"));
  ProxyFixture proxy;  // level 0
  const std::string local = proxy.local(origin.url("/master.m3u8"));
  const auto pinned = ChildProcess::run({"curl", "-s", local});
  EXPECT_EQ(pinned.output.find("RESOLUTION=640x360"), std::string::npos) << pinned.output;
  EXPECT_NE(pinned.output.find("RESOLUTION=256x144"), std::string::npos) << pinned.output;
  // ffmpeg writes the audio rendition also as a variant of its own, without RESOLUTION: pinning
  // keeps it beside the selected video variant.
  size_t variantsWithoutResolution = 0;
  std::istringstream lines(pinned.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("#EXT-X-STREAM-INF:") && line.find("RESOLUTION=") == std::string::npos)
      ++variantsWithoutResolution;
  }
  EXPECT_EQ(variantsWithoutResolution, 1u) << pinned.output;
  EXPECT_EQ(videoSizes(local), std::vector<std::string>{"256,144"});
  const auto audio =
      ChildProcess::run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                         "stream=codec_type", "-of", "csv=p=0", local});
  EXPECT_NE(audio.output.find("audio"), std::string::npos) << "no audio through the proxy";
  md5Of(local);  // plays to the end
  EXPECT_GT(requestsMatching(origin, R"(GET /[^ ]*audio[^ ]*\.m4s)"), 0u)
      << "the audio segments came through the proxy";
}

TEST(ReverseProxy, FollowsARedirectAndKeepsA404) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy;
  // Relative URIs resolve against the final URL, so playback works through the redirect.
  EXPECT_EQ(md5Of(proxy.local(origin.url("/redirect/master.m3u8"))),
            md5Of(origin.url("/v0/index.m3u8")));
  EXPECT_EQ(httpStatus(proxy.local(origin.url("/missing/v0/seg0.ts"))), 404);
  EXPECT_EQ(httpStatus(proxy.local(origin.url("/missing/x.m3u8"))), 404);
  EXPECT_EQ(httpStatus(proxy.local(origin.url("/missing/x.vtt"))), 404);
}

TEST(ReverseProxy, RefusesForeignHostsAndRequestsWithoutAnOrigin) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ProxyFixture proxy;
  const std::string local = proxy.local(origin.url("/master.m3u8"));
  EXPECT_EQ(httpStatus(local), 200);
  const auto rebound = ChildProcess::run({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                          "-H", "Host: attacker.example", local});
  EXPECT_EQ(rebound.output, "400");
  const std::string base = "http://127.0.0.1:" + std::to_string(proxy.port());
  EXPECT_EQ(httpStatus(base + "/v0/seg0.ts"), 400);
  EXPECT_EQ(httpStatus(base + "/x.ts?__hls_origin_url=file:///etc/passwd"), 400);
  EXPECT_EQ(httpStatus("http://[::1]:" + std::to_string(proxy.port()) + "/x.ts?a=1"), 400);
}

}  // namespace
}  // namespace ombrelia::test
