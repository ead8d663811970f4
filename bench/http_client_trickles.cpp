// The HTTP client's own CPU with many slow transfers at once: N bodies trickle from a loopback
// origin (a child process, so its CPU is not counted), a small piece every 100 ms each. The
// figure is CPU seconds per 1000 body pieces; the ratio against the smallest N shows whether the
// client's cost per piece grows with the number of transfers beside it.
// Usage: bench_http_client_trickles [counts...]   (default: 50 200 800)

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "platform/HttpClient.hpp"

namespace {

using ombrelia::Url;
using ombrelia::platform::HttpClient;
using ombrelia::platform::HttpRequest;
using ombrelia::platform::HttpResult;
using Clock = std::chrono::steady_clock;

constexpr size_t kPieceBytes = 200;
constexpr int kPiecesPerBody = 30;
constexpr auto kPieceInterval = std::chrono::milliseconds(100);

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// The origin: answers each connection's request with a body sent a piece at a time, each
// connection on its own phase so the pieces arrive spread over time, not in bursts.
[[noreturn]] void serveTrickles(int listener) {
  struct Due {
    Clock::time_point when;
    int fd;
    int sent;
    bool operator>(const Due& other) const { return when > other.when; }
  };
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
  std::mt19937 random(7);
  const std::string piece(kPieceBytes, 'x');
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kPieceBytes * kPiecesPerBody) +
      "\r\n\r\n";
  for (;;) {
    int timeout = 1000;
    if (!due.empty()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due.top().when - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
    }
    pollfd listening{listener, POLLIN, 0};
    if (poll(&listening, 1, timeout) > 0) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The request head is small and came with the connection; its bytes are not looked at.
        char request[4096];
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 1000) > 0 && read(fd, request, sizeof request) > 0 &&
            write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size())) {
          const auto phase = std::chrono::milliseconds(random() % kPieceInterval.count());
          due.push({Clock::now() + phase, fd, 0});
        } else {
          close(fd);
        }
      }
    }
    const auto now = Clock::now();
    while (!due.empty() && due.top().when <= now) {
      Due next = due.top();
      due.pop();
      if (write(next.fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size()) ||
          ++next.sent == kPiecesPerBody) {
        close(next.fd);
        continue;
      }
      next.when += kPieceInterval;
      due.push(next);
    }
  }
}

struct Figures {
  double cpuSeconds = 0;
  double wallSeconds = 0;
  size_t pieces = 0;
  int failed = 0;
};

Figures fetchAll(const std::string& url, int count) {
  HttpClient::Settings settings;
  // Every transfer on a connection of its own, so that all of them trickle at once.
  settings.maxConnectionsPerHost = count;
  auto client = HttpClient::create(settings);
  std::mutex mutex;
  std::condition_variable allDone;
  int done = 0;
  Figures figures;
  const auto start = Clock::now();
  const double cpuBefore = cpuSeconds();
  for (int i = 0; i < count; ++i) {
    HttpRequest request;
    request.url = *Url::parse(url);
    client->dataTask(std::move(request), [&](HttpResult result) {
      std::lock_guard lock(mutex);
      if (!result.hasValue() || result.value().body.size() != kPieceBytes * kPiecesPerBody) {
        ++figures.failed;
      }
      if (++done == count) allDone.notify_one();
    });
  }
  {
    std::unique_lock lock(mutex);
    allDone.wait(lock, [&] { return done == count; });
  }
  figures.cpuSeconds = cpuSeconds() - cpuBefore;
  figures.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.pieces = static_cast<size_t>(count) * kPiecesPerBody;
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {50, 200, 800};

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4096) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  // Before any thread exists: the origin is a process of its own.
  const pid_t origin = fork();
  if (origin == 0) serveTrickles(listener);
  close(listener);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/trickle.bin";

  std::printf("http_client_trickles: %d pieces of %zu bytes per body, one every %lld ms\n",
              kPiecesPerBody, kPieceBytes, static_cast<long long>(kPieceInterval.count()));
  std::printf("%10s %9s %9s %9s %16s %7s\n", "transfers", "pieces", "wall s", "cpu s",
              "cpu s/1000 pcs", "ratio");
  double reference = 0;
  bool ok = true;
  for (const int count : counts) {
    const Figures figures = fetchAll(url, count);
    const double perThousand = figures.cpuSeconds / (figures.pieces / 1000.0);
    if (reference == 0) reference = perThousand;
    std::printf("%10d %9zu %9.2f %9.3f %16.4f %7.2f%s\n", count, figures.pieces,
                figures.wallSeconds, figures.cpuSeconds, perThousand, perThousand / reference,
                figures.failed > 0 ? "  FAILED" : "");
    ok = ok && figures.failed == 0;
  }
  kill(origin, SIGTERM);
  waitpid(origin, nullptr, 0);
  return ok ? 0 : 1;
}
