// An origin set up the way CDNs set theirs up: http:// answered with a redirect to https://,
// where HTTP/2 carries many requests on one connection. Read through the example host's proxy,
// each time in a fresh process, so that every run opens its connections anew.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/HttpClient.hpp"
#include "support/ChildProcess.hpp"
#include "support/CountdownLatch.hpp"
#include "support/HostProgram.hpp"
#include "support/NginxOrigin.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;
using platform::HttpClient;
using platform::HttpRequest;
using platform::HttpResult;

// Each start meets a new HTTP/2 connection, whose server speaks first (its SETTINGS frame).
constexpr int kStarts = 4;
// A player's parallel segment requests, as many as the client opens to one origin.
constexpr size_t kParallel = 8;
constexpr int kRedirectedSegments = 24;  // three rounds of eight per start
constexpr size_t kRedirectedSegmentBytes = 256 * 1024;

std::string redirectedSegmentBytes(int index) {
  std::mt19937 random(static_cast<unsigned>(index));
  std::string bytes(kRedirectedSegmentBytes, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Every request of the stream goes through the redirect: the master's variant and each segment
// are absolute http:// URIs.
void writeStream(const NginxOrigin& origin) {
  origin.writeFile("master.m3u8",
                   "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n" +
                       origin.redirectingUrl("/index.m3u8") + "\n");
  std::string media = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n";
  for (int i = 0; i < kRedirectedSegments; ++i) {
    const std::string name = "seg" + std::to_string(i) + ".ts";
    origin.writeFile(name, redirectedSegmentBytes(i));
    media += "#EXTINF:6.0,\n" + origin.redirectingUrl("/" + name) + "\n";
  }
  origin.writeFile("index.m3u8", media + "#EXT-X-ENDLIST\n");
}

std::vector<std::string> uriLines(const std::string& playlist) {
  std::vector<std::string> uris;
  std::istringstream lines(playlist);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.front() != '#') uris.push_back(line);
  }
  return uris;
}

// GETs every URL at once and waits for all; an absent result did not complete in time.
std::vector<std::optional<HttpResult>> fetchAll(HttpClient& client,
                                                const std::vector<std::string>& urls) {
  struct Batch {
    explicit Batch(size_t count) : results(count), done(count) {}
    std::mutex mutex;  // a late completion may still write while the test reads
    std::vector<std::optional<HttpResult>> results;
    CountdownLatch done;
  };
  auto batch = std::make_shared<Batch>(urls.size());
  for (size_t i = 0; i < urls.size(); ++i) {
    HttpRequest request;
    request.url = *Url::parse(urls[i]);
    client.dataTask(std::move(request), [batch, i](HttpResult result) {
      {
        std::lock_guard lock(batch->mutex);
        batch->results[i] = std::move(result);
      }
      batch->done.countDown();
    });
  }
  batch->done.wait(test::scaledWait(60s));
  std::lock_guard lock(batch->mutex);
  return batch->results;
}

// "200 and <n> bytes", or what went wrong instead.
std::string outcome(const std::optional<HttpResult>& result) {
  if (!result) return "no answer";
  if (!result->hasValue()) return "failed: " + result->error().message;
  return std::to_string(result->value().statusCode) + " and " +
         std::to_string(result->value().body.size()) + " bytes";
}

TEST(RedirectToHttp2, EveryAnswerThroughTheProxyIsWholeFromFreshStarts) {
  NginxOrigin origin({.tls = true, .http2 = true, .redirectFromPlainHttp = true});
  writeStream(origin);
  std::vector<std::string> expected;
  for (int i = 0; i < kRedirectedSegments; ++i) expected.push_back(redirectedSegmentBytes(i));
  auto reader = HttpClient::create();

  for (int start = 0; start < kStarts; ++start) {
    SCOPED_TRACE("start " + std::to_string(start));
    ChildProcess serve(
        {kHost, "serve", origin.redirectingUrl("/master.m3u8"), "--whole", "--port", "0",
         "--tracker", "wss://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/"},
        ChildProcess::Settings{
            .captureStdout = true,
            .extraEnvironment = {"SSL_CERT_FILE=" + origin.certificateFile().string()}});
    const auto masterUrl = serve.readLine(test::scaledWait(10s));
    ASSERT_TRUE(masterUrl) << "no URL line";

    const auto master = fetchAll(*reader, {*masterUrl})[0];
    ASSERT_TRUE(master && master->hasValue() && master->value().statusCode == 200)
        << "master: " << outcome(master);
    const auto variants = uriLines(master->value().body.toString());
    ASSERT_EQ(variants.size(), 1u) << master->value().body.toString();
    const auto media = fetchAll(*reader, variants)[0];
    ASSERT_TRUE(media && media->hasValue() && media->value().statusCode == 200)
        << "media playlist: " << outcome(media);
    const auto segments = uriLines(media->value().body.toString());
    ASSERT_EQ(segments.size(), static_cast<size_t>(kRedirectedSegments));

    for (size_t first = 0; first < segments.size(); first += kParallel) {
      const std::vector<std::string> round(
          segments.begin() + first,
          segments.begin() + std::min(first + kParallel, segments.size()));
      const auto answers = fetchAll(*reader, round);
      for (size_t i = 0; i < answers.size(); ++i) {
        const auto& answer = answers[i];
        EXPECT_TRUE(answer && answer->hasValue() && answer->value().statusCode == 200 &&
                    answer->value().body.toString() == expected[first + i])
            << "segment " << first + i << ": " << outcome(answer) << ", wanted its "
            << kRedirectedSegmentBytes << " bytes";
      }
    }
    EXPECT_EQ(serve.stop(SIGTERM, 10s), 0);
  }
}

}  // namespace
}  // namespace ombrelia::test
