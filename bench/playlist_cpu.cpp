// The CPU one large on-demand media playlist costs the viewer, stage by stage, as the proxy runs
// them for each player: what the stages count (storingBytes, mostHeldBytes, mostRewrittenBytes),
// the store's reading, the pinning and the rewriting. The playlist is the `at-once` case's of
// scripts/bench players-leaving: 7,000 segments, each URL signed with a 2 KB query (14 MB).
//
//   bench_playlist_cpu [--stage count|store|pin|rewrite|all] [--rounds N] [--segments N]
//                      [--query BYTES]   (the signed query's policy, 1,960 bytes by default)
// Prints the milliseconds of each stage per playlist (best of the rounds) and a checksum of
// what each gave, so that two builds can be compared for the same output. --stage runs only
// that one (once per round), for an instruction count under valgrind --tool=callgrind.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <ombrelia/OmbreliaConfig.hpp>

#include "proxy/DownloadController.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "store/HLSManifestModifier.hpp"
#include "store/ManifestController.hpp"

using namespace ombrelia;

namespace {

std::string vodPlaylist(int segments, size_t queryBytes) {
  // As CloudFront signs a URL: a long policy, a signature and a key pair.
  const std::string tail = "&Signature=Nw2-cL~qx9_Zk0&Key-Pair-Id=K";
  std::string query = "Policy=";
  while (query.size() < queryBytes) query += "eyJTdGF0ZW1lbnQiOlt7-_~";
  query = query.substr(0, queryBytes) + tail;
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n";
  for (int n = 0; n < segments; ++n) {
    text += "#EXTINF:6.0,\nseg100k.ts?n=" + std::to_string(n) + "&" + query + "\n";
  }
  return text + "#EXT-X-ENDLIST\n";
}

uint64_t fnv(std::string_view s, uint64_t h = 1469598103934665603ull) {
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string stage = "all";
  int rounds = 5;
  int segments = 7000;
  size_t query = 1960;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--stage")) stage = argv[i + 1];
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--segments")) segments = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--query")) query = std::strtoul(argv[i + 1], nullptr, 10);
  }
  OmbreliaConfig::configure("bench");
  const std::string text = vodPlaylist(segments, query);
  const Data body(text);
  const std::string origin = "http://127.0.0.1:34567";
  const Url base = *Url::parse(origin + "/vod14m.m3u8");
  const auto want = [&](const char* name) { return stage == "all" || stage == name; };
  ManifestController controller;
  controller.storeManifest(
      Data(std::string("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nvod14m.m3u8\n")),
      *Url::parse(origin + "/master.m3u8"));
  const PlaylistRewriter rewriter(34568);
  double best[4] = {1e30, 1e30, 1e30, 1e30};
  uint64_t sums[4] = {0, 0, 0, 0};
  for (int round = 0; round < rounds; ++round) {
    const Url requested = *Url::parse(origin + "/vod14m.m3u8?player=" + std::to_string(round));
    if (want("count")) {
      const auto start = std::chrono::steady_clock::now();
      const size_t storing = DownloadController::storingBytes(
          text, requested.toString().size() + requested.toString().size());
      const size_t pinning = HLSManifestModifier::mostHeldBytes(text);
      const size_t most = PlaylistRewriter::mostRewrittenBytes(text, base);
      best[0] = std::min(best[0], msSince(start));
      sums[0] = storing ^ (pinning << 20) ^ (most << 40);
    }
    if (want("store")) {
      const auto start = std::chrono::steady_clock::now();
      const auto stored = controller.storeManifest(body, requested, requested);
      best[1] = std::min(best[1], msSince(start));
      sums[1] = static_cast<uint64_t>(stored) + 16 * controller.lastManifestSegments();
    }
    Data pinned = body;
    if (want("pin") || want("rewrite")) {
      const auto start = std::chrono::steady_clock::now();
      pinned = HLSManifestModifier().modifyManifest(body);
      best[2] = std::min(best[2], msSince(start));
      sums[2] = fnv(pinned.view());
    }
    if (want("rewrite")) {
      const size_t most = PlaylistRewriter::mostRewrittenBytes(pinned.view(), base);
      const auto start = std::chrono::steady_clock::now();
      const auto pieces =
          rewriter.rewriteInPieces(pinned.view(), base, nullptr, std::nullopt, most);
      best[3] = std::min(best[3], msSince(start));
      uint64_t h = 1469598103934665603ull;
      size_t out = 0;
      if (pieces) {
        for (const auto& piece : *pieces) {
          h = fnv(piece, h);
          out += piece.size();
        }
      }
      sums[3] = h ^ out;
    }
  }
  const char* names[4] = {"count", "store", "pin", "rewrite"};
  std::printf("%zu bytes, %d segments; ms per playlist (best of %d) and a checksum\n", text.size(),
              segments, rounds);
  for (int i = 0; i < 4; ++i) {
    if (best[i] < 1e29)
      std::printf("  %-8s %8.1f ms  %016llx\n", names[i], best[i],
                  static_cast<unsigned long long>(sums[i]));
  }
  return 0;
}
