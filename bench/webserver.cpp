// Serves fixed in-memory bodies for the HTTP server benchmark (scripts/bench webserver):
//   bench_webserver --serve PORT       serve until killed
//   bench_webserver --write-files DIR  write the same bodies as files, for the reference server
//   bench_webserver --threads          print the number of server I/O threads
// Paths: /sync/<size> answers from the handler itself, /async/<size> from a completion called
// on another thread (as the HTTP client's completion thread does for the proxy); sizes are
// 1k, 64k and 2m.
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerIOPool.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

using namespace ombrelia;

namespace {

const std::map<std::string, size_t> kSizes = {
    {"1k", 1024}, {"64k", 64 * 1024}, {"2m", 2 * 1024 * 1024}};

std::string body(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

// One thread that runs completions in order, standing in for a client's completion queue.
class CompletionThread {
public:
  CompletionThread() : thread_([this] { run(); }) { thread_.detach(); }
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      work_.push_back(std::move(work));
    }
    ready_.notify_one();
  }

private:
  void run() {
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !work_.empty(); });
        work = std::move(work_.front());
        work_.pop_front();
      }
      work();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> work_;
  std::thread thread_;
};

int serve(uint16_t port) {
  auto server = WebServer::create();
  // Never destroyed: its detached thread waits on it until the process ends.
  static CompletionThread *completions = new CompletionThread();
  for (const auto &[name, size] : kSizes) {
    const Data data(body(size));
    server->addHandlerForMethodPath(
        "GET", "/sync/" + name, WebServerRequestClass<WebServerRequest>(),
        [data](const std::shared_ptr<WebServerRequest> &) {
          return WebServerDataResponse::responseWithData(data, "application/octet-stream");
        });
    server->addHandlerForMethodPath(
        "GET", "/async/" + name, WebServerRequestClass<WebServerRequest>(),
        [data](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
          completions->post([data, completion = std::move(completion)] {
            completion(WebServerDataResponse::responseWithData(data, "application/octet-stream"));
          });
        });
  }
  WebServerOptions options;
  options.port = port;
  options.bindToLocalhost = true;
  options.maxPendingConnections = 1024;
  if (auto started = server->startWithOptions(options); !started) {
    std::fprintf(stderr, "cannot listen on port %u: %s\n", port,
                 started.error().description.c_str());
    return 1;
  }
  std::printf("serving on 127.0.0.1:%u with %zu threads\n", server->port(),
              WebServerIOPool::threadCount());
  std::fflush(stdout);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int received = 0;
  sigwait(&signals, &received);
  server->stop();
  return 0;
}

int writeFiles(const std::string &directory) {
  for (const auto &[name, size] : kSizes) {
    std::ofstream out(directory + "/" + name, std::ios::binary);
    out << body(size);
    if (!out)
      return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "--serve" && argc > 2)
    return serve(static_cast<uint16_t>(std::atoi(argv[2])));
  if (command == "--write-files" && argc > 2)
    return writeFiles(argv[2]);
  if (command == "--threads") {
    std::printf("%zu\n", WebServerIOPool::threadCount());
    return 0;
  }
  std::fprintf(stderr, "usage: %s --serve PORT | --write-files DIR | --threads\n", argv[0]);
  return 2;
}
