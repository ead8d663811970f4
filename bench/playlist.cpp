// Parse speed of the playlist parser and rewriting speed of the proxy's playlist rewriter: a
// 10,000-segment media playlist and a 20-variant master, printed as MB/s of playlist text.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "playlist/parser/PlaylistParser.hpp"
#include "proxy/PlaylistRewriter.hpp"

namespace {

using namespace ombrelia;

std::string mediaPlaylist(int segments) {
  std::string text =
      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:1000\n";
  for (int i = 0; i < segments; ++i) {
    text +=
        "#EXTINF:6.006000,\nhttps://cdn.example/live/1080p/segment_" + std::to_string(i) + ".ts\n";
  }
  return text + "#EXT-X-ENDLIST\n";
}

std::string masterPlaylist(int variants) {
  std::string text = "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-INDEPENDENT-SEGMENTS\n";
  text +=
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"English\",LANGUAGE=\"en\",DEFAULT=YES,"
      "URI=\"audio/en/index.m3u8\"\n";
  for (int i = 0; i < variants; ++i) {
    const int height = 144 + i * 48;
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(200000 + i * 300000) +
            ",AVERAGE-BANDWIDTH=" + std::to_string(180000 + i * 280000) +
            ",CODECS=\"avc1.640028,mp4a.40.2\",RESOLUTION=" + std::to_string(height * 16 / 9) +
            "x" + std::to_string(height) + ",FRAME-RATE=29.970,AUDIO=\"aud\"\nvideo/" +
            std::to_string(height) + "p/index.m3u8\n";
  }
  return text;
}

constexpr const char* kBase = "https://cdn.example/live/index.m3u8";

// CPU time of this thread: other work on a shared machine does not inflate it.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs `work` until about half a second has passed, so that small playlists are measured
// reliably; `work` returns false when it failed.
template <typename Work>
void measure(const char* name, const std::string& text, Work work) {
  size_t iterations = 0;
  const double cpuStart = threadSeconds();
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = std::chrono::steady_clock::duration::zero();
  do {
    if (!work()) return;
    ++iterations;
    elapsed = std::chrono::steady_clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(500));
  const double cpu = threadSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(elapsed).count();
  const double megabytes = static_cast<double>(text.size()) * static_cast<double>(iterations) / 1e6;
  std::printf("%-24s %8zu bytes  %7.3f ms/run    %7.1f MB/s (CPU time)  %7.1f MB/s (wall)\n", name,
              text.size(), cpu * 1e3 / static_cast<double>(iterations), megabytes / cpu,
              megabytes / wall);
}

void measureParse(const char* name, const std::string& text, PlaylistType type) {
  const PlaylistParser::Params params{text, type, *Url::parse(kBase)};
  measure(name, text, [&] {
    auto outcome = PlaylistParser().parse(params);
    if (!outcome)
      std::printf("%s: parse failed: %s\n", name, outcome.error().errorDescription().c_str());
    return static_cast<bool>(outcome);
  });
}

void measureRewrite(const char* name, const std::string& text) {
  const Url base = *Url::parse(kBase);
  const PlaylistRewriter rewriter(8080);
  size_t written = 0;
  measure(name, text, [&] {
    const auto rewritten = rewriter.rewrite(text, base);
    if (!rewritten) std::printf("%s: refused as too large\n", name);
    written += rewritten ? rewritten->size() : 0;
    return rewritten.has_value();
  });
  if (written == 0) std::printf("%s: nothing written\n", name);
}

}  // namespace

int main() {
  const std::string media = mediaPlaylist(10000);
  const std::string master = masterPlaylist(20);
  measureParse("media, 10000 segments", media, PlaylistType::video);
  measureParse("master, 20 variants", master, PlaylistType::master);
  measureRewrite("rewrite media", media);
  measureRewrite("rewrite master", master);
  return 0;
}
