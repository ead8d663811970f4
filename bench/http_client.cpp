// Time and CPU to fetch N files from a loopback origin with the library's HTTP client, against
// curl's command line fetching the same files, one after another and eight at a time.
// Usage: bench_http_client <base-url> <count> <bytes-per-file> [curl]
// The files are <base-url>/seg000.bin, seg001.bin, ... (scripts/bench serves them with nginx).

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HttpClient.hpp"

extern char** environ;

namespace {

using ombrelia::Url;
using ombrelia::platform::HttpClient;
using ombrelia::platform::HttpRequest;
using ombrelia::platform::HttpResult;
using Clock = std::chrono::steady_clock;

// The concurrency of the parallel case: the client's per-host connection limit, given to curl
// as well so both open the same number of connections.
constexpr int kParallel = static_cast<int>(HttpClient::kMaxConnectionsPerHost);
constexpr int kRounds = 5;

struct Figures {
  double wallMs = 0;
  double cpuMs = 0;
  // Minor faults: the cost of fresh memory for bodies kept in memory; curl writes to /dev/null.
  long pageFaults = 0;
  bool ok = true;
};

double cpuMs(const rusage& usage) {
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::vector<std::string> fileUrls(const std::string& base, int count) {
  std::vector<std::string> urls;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/seg%03d.bin", i);
    urls.push_back(base + name);
  }
  return urls;
}

Figures runClient(HttpClient& client, const std::vector<std::string>& urls, size_t fileBytes,
                  bool parallel) {
  rusage before{};
  rusage after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  std::mutex mutex;
  size_t good = 0;
  auto fetchOne = [&](const std::string& url, std::promise<void>* done) {
    HttpRequest request;
    request.url = *Url::parse(url);
    client.dataTask(std::move(request), [&, done](HttpResult result) {
      {
        std::lock_guard lock(mutex);
        if (result.hasValue() && result.value().statusCode == 200 &&
            result.value().body.size() == fileBytes) {
          ++good;
        }
      }
      done->set_value();
    });
  };
  std::vector<std::promise<void>> done(urls.size());
  if (parallel) {
    for (size_t i = 0; i < urls.size(); ++i) fetchOne(urls[i], &done[i]);
    for (auto& promise : done) promise.get_future().wait();
  } else {
    for (size_t i = 0; i < urls.size(); ++i) {
      fetchOne(urls[i], &done[i]);
      done[i].get_future().wait();
    }
  }
  Figures figures;
  figures.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);
  figures.cpuMs = cpuMs(after) - cpuMs(before);
  figures.pageFaults = after.ru_minflt - before.ru_minflt;
  figures.ok = good == urls.size();
  return figures;
}

Figures runCurl(const std::string& curl, const std::vector<std::string>& urls, bool parallel) {
  std::vector<std::string> args{curl, "--silent", "--no-progress-meter", "--show-error", "--fail"};
  if (parallel) {
    args.insert(args.end(), {"--parallel", "--parallel-max", std::to_string(kParallel)});
  }
  for (const auto& url : urls) args.insert(args.end(), {"--output", "/dev/null", url});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const auto start = Clock::now();
  pid_t pid = 0;
  Figures figures;
  if (posix_spawn(&pid, curl.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    figures.ok = false;
    return figures;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  figures.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  figures.cpuMs = cpuMs(usage);
  figures.pageFaults = usage.ru_minflt;
  figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return figures;
}

// The best of several rounds by wall time, which filters out scheduling noise.
template <typename Run>
Figures best(Run run) {
  Figures result;
  for (int round = 0; round < kRounds; ++round) {
    Figures figures = run();
    if (!figures.ok) return figures;
    if (round == 0 || figures.wallMs < result.wallMs) result = figures;
  }
  return result;
}

void printRow(const char* mode, const char* who, const Figures& f, double megabytes) {
  std::printf("%-11s %-14s %9.1f %9.1f %9.1f %9ld%s\n", mode, who, f.wallMs, f.cpuMs,
              megabytes / (f.wallMs / 1e3), f.pageFaults, f.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <base-url> <count> <bytes-per-file> [curl]\n", argv[0]);
    return 2;
  }
  const std::string base = argv[1];
  const int count = std::atoi(argv[2]);
  const size_t fileBytes = std::strtoull(argv[3], nullptr, 10);
  const std::string curl = argc > 4 ? argv[4] : "/usr/bin/curl";
  const auto urls = fileUrls(base, count);
  const double megabytes = count * (fileBytes / 1e6);

  auto client = HttpClient::create();
  // One warm-up fetch so that neither side pays for the first connection in the figures.
  runClient(*client, {urls.front()}, fileBytes, false);

  std::printf("http_client: %d x %.1f MB from %s (best of %d rounds)\n", count, fileBytes / 1e6,
              base.c_str(), kRounds);
  std::printf("%-11s %-14s %9s %9s %9s %9s\n", "mode", "client", "wall ms", "cpu ms", "MB/s",
              "faults");
  bool ok = true;
  for (const bool parallel : {false, true}) {
    const char* mode = parallel ? "parallel-8" : "sequential";
    const Figures ours = best([&] { return runClient(*client, urls, fileBytes, parallel); });
    const Figures theirs = best([&] { return runCurl(curl, urls, parallel); });
    printRow(mode, "ombrelia", ours, megabytes);
    printRow(mode, "curl (cli)", theirs, megabytes);
    std::printf("%-11s ratio ombrelia/curl: wall %.2f, cpu %.2f\n", mode,
                ours.wallMs / theirs.wallMs, ours.cpuMs / theirs.cpuMs);
    ok = ok && ours.ok && theirs.ok;
  }
  return ok ? 0 : 1;
}
