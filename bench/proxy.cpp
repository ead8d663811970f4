// Segment throughput and time to last byte through the proxy, against the same requests made
// directly to the origin (nginx-light), by the same client with "Connection: close".
//   bench_proxy <origin-base-url> [requests-per-case]
// The origin serves master.m3u8, index.m3u8 and seg700k.ts, seg1900k.ts, seg3800k.ts.
// Cold store: every request is a URL the proxy has not seen. Warm store: the same segment
// again, answered from the in-memory segment store.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <ombrelia/Ombrelia.hpp>

#include "api/ProxyManagerSeams.hpp"
#include "signalling/SocketConfig.hpp"

namespace {

using Clock = std::chrono::steady_clock;

size_t discard(char*, size_t size, size_t count, void* total) {
  *static_cast<size_t*>(total) += size * count;
  return size * count;
}

// Seconds to the last byte, or a negative number on failure; `firstByte` gets the seconds to
// the first.
double timeToLastByte(CURL* curl, const std::string& url, size_t& bytes,
                      double* firstByte = nullptr) {
  bytes = 0;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
  const auto start = Clock::now();
  const CURLcode code = curl_easy_perform(curl);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (firstByte != nullptr) {
    curl_off_t micros = 0;
    curl_easy_getinfo(curl, CURLINFO_STARTTRANSFER_TIME_T, &micros);
    *firstByte = static_cast<double>(micros) / 1e6;
  }
  return code == CURLE_OK && status == 200 ? seconds : -1;
}

struct Figures {
  double p50 = 0, p99 = 0, megabytesPerSecond = 0, firstByteP50 = 0;
};

Figures measure(CURL* curl, const std::vector<std::string>& urls) {
  std::vector<double> times, firstBytes;
  double total = 0;
  size_t totalBytes = 0;
  for (const auto& url : urls) {
    size_t bytes = 0;
    double firstByte = 0;
    const double t = timeToLastByte(curl, url, bytes, &firstByte);
    if (t < 0) {
      std::fprintf(stderr, "request failed: %s\n", url.c_str());
      continue;
    }
    times.push_back(t);
    firstBytes.push_back(firstByte);
    total += t;
    totalBytes += bytes;
  }
  Figures f;
  if (times.empty()) return f;
  std::sort(times.begin(), times.end());
  std::sort(firstBytes.begin(), firstBytes.end());
  f.firstByteP50 = firstBytes[firstBytes.size() / 2] * 1000;
  f.p50 = times[times.size() / 2] * 1000;
  f.p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)] * 1000;
  f.megabytesPerSecond = static_cast<double>(totalBytes) / 1e6 / total;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_proxy <origin-base-url> [requests-per-case]\n");
    return 2;
  }
  const std::string origin = argv[1];
  const int n = argc > 2 ? std::max(5, std::atoi(argv[2])) : 50;

  ombrelia::OmbreliaConfig::configure("bench");
  ombrelia::SocketConfig::overrideDefaultEndpoint(ombrelia::Url::parse("wss://127.0.0.1:9/"));
  ombrelia::ProxyManagerSeams::overridePort(0);
  auto analytics = ombrelia::AnalyticsManager::create();
  ombrelia::ProxyManager proxy("bench", "bench", *analytics);
  proxy.startServer();
  auto local = [&](const std::string& url) {
    return proxy.reverseProxyURL(*ombrelia::Url::parse(url))->toString();
  };

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Connection: close");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);

  // The playlists give the segments their identity, so the proxy stores them.
  size_t ignored = 0;
  timeToLastByte(curl, local(origin + "/master.m3u8"), ignored);
  timeToLastByte(curl, local(origin + "/index.m3u8"), ignored);

  std::printf("proxy benchmark: %d requests per case, sequential, Connection: close, loopback\n",
              n);
  std::printf("%-8s %-6s %10s %9s %9s %10s %9s %9s %9s %10s %9s %9s\n", "segment", "store",
              "direct MB/s", "p50 ms", "p99 ms", "proxy MB/s", "p50 ms", "p99 ms", "+p50 ms",
              "MB/s x", "1st B ms", "direct");
  for (const char* name : {"seg700k.ts", "seg1900k.ts", "seg3800k.ts"}) {
    const std::string url = origin + "/" + name;
    std::vector<std::string> direct, cold, warm;
    for (int i = 0; i < n; ++i) {
      direct.push_back(url + "?n=" + std::to_string(i));
      cold.push_back(local(url + "?n=" + std::to_string(i)));
      warm.push_back(local(url));
    }
    const Figures d = measure(curl, direct);
    const Figures c = measure(curl, cold);
    measure(curl, {warm.front()});  // the first request stores the segment
    const Figures w = measure(curl, warm);
    for (const auto& [store, f] : {std::pair{"cold", c}, std::pair{"warm", w}}) {
      std::printf("%-8.8s %-6s %10.1f %9.3f %9.3f %10.1f %9.3f %9.3f %9.3f %10.2f %9.3f %9.3f\n",
                  name, store, d.megabytesPerSecond, d.p50, d.p99, f.megabytesPerSecond, f.p50,
                  f.p99, f.p50 - d.p50,
                  d.megabytesPerSecond > 0 ? f.megabytesPerSecond / d.megabytesPerSecond : 0,
                  f.firstByteP50, d.firstByteP50);
    }
  }
  std::printf(
      "+p50 ms = added latency to the last byte; MB/s x = through the proxy / direct; 1st B ms = "
      "p50 to the first byte, through the proxy and direct "
      "(goals: +p50 <= 1.0 ms at 2 MB, MB/s x >= 0.9)\n");
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  proxy.cleanup();
  return 0;
}
