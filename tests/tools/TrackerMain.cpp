// The test tracker as a program, for the demo and the multi-process tests: a wss signalling
// service on 127.0.0.1 with a certificate authority made at start.
//   ombrelia-test-tracker [--port P] [--ca-file PATH] [--group-after-uuid] [--silent-departures]
//                         [--analytics-log PATH] [--commands]
// Prints "wss://127.0.0.1:<port>/" on its first line, writes the authority's certificate to
// PATH (clients trust it through SSL_CERT_FILE), and serves until SIGINT or SIGTERM. With an
// analytics log, every analytics text received is appended to it as it arrives, one per line:
// the connection number, a tab, the text. With --commands it takes one command a line on its
// standard input and answers each with one line:
//   relay <from> <to>   a participant that relays between the two clients joins
//                       ("relaying <its identifier>", or "no such clients")
//   leave               the relaying participant leaves ("left")
//   offers <to> <count> a participant sends the client `count` offers back to back
//                       ("offering <its identifier>", or "no such client")
//   offered             how many of those offers are written so far ("<count>")
//   opener <to>         a participant with a real connection offers to the client
//                       ("joined <its identifier>" once its channel is open, or "not joined")
//   open <count> <bytes> <messages>
//                       that participant opens channels with labels and protocols of <bytes>
//                       bytes and sends <messages> on each ("opening", or "no participant")
//   opened              how many of those opens are sent so far ("<count>")
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"

using namespace ombrelia::test;

namespace {

// Lines of standard input, read on a thread of their own and taken by the main loop.
struct Commands {
  std::mutex mutex;  // guards lines
  std::deque<std::string> lines;

  std::optional<std::string> next() {
    std::lock_guard lock(mutex);
    if (lines.empty()) return std::nullopt;
    std::string line = std::move(lines.front());
    lines.pop_front();
    return line;
  }
};

void run(TestTracker& tracker, const std::string& command) {
  std::istringstream words(command);
  std::string verb;
  std::string from;
  std::string to;
  words >> verb >> from >> to;
  if (verb == "relay") {
    const auto first = ombrelia::Uuid::parse(from);
    const auto second = ombrelia::Uuid::parse(to);
    const auto relayer = first && second ? tracker.startRelaying(*first, *second) : std::nullopt;
    if (relayer) {
      std::printf("relaying %s\n", relayer->lowercaseString().c_str());
    } else {
      std::printf("no such clients\n");
    }
  } else if (verb == "leave") {
    tracker.stopRelaying();
    std::printf("left\n");
  } else if (verb == "offers") {
    const auto client = ombrelia::Uuid::parse(from);
    const unsigned long long count = std::strtoull(to.c_str(), nullptr, 10);
    const auto participant = client ? tracker.floodOffers(*client, count) : std::nullopt;
    if (participant) {
      std::printf("offering %s\n", participant->lowercaseString().c_str());
    } else {
      std::printf("no such client\n");
    }
  } else if (verb == "offered") {
    std::printf("%zu\n", tracker.offersWritten());
  } else if (verb == "opener") {
    const auto client = ombrelia::Uuid::parse(from);
    const auto participant = client ? tracker.joinChannelOpener(*client) : std::nullopt;
    if (participant) {
      std::printf("joined %s\n", participant->lowercaseString().c_str());
    } else {
      std::printf("not joined\n");
    }
  } else if (verb == "open") {
    std::string messages;
    words >> messages;
    const bool opening = tracker.openChannels(std::strtoull(from.c_str(), nullptr, 10),
                                              std::strtoull(to.c_str(), nullptr, 10),
                                              std::strtoull(messages.c_str(), nullptr, 10));
    std::printf(opening ? "opening\n" : "no participant\n");
  } else if (verb == "reopen") {
    const bool opening =
        tracker.reopenChannels(std::strtoull(from.c_str(), nullptr, 10),
                               std::chrono::seconds(std::strtoull(to.c_str(), nullptr, 10)));
    std::printf(opening ? "opening\n" : "no participant\n");
  } else if (verb == "askers") {
    const auto client = ombrelia::Uuid::parse(from);
    const size_t joined =
        client ? tracker.joinAskers(*client, std::strtoull(to.c_str(), nullptr, 10)) : 0;
    std::printf("%zu\n", joined);
  } else if (verb == "ask") {
    const bool asking =
        tracker.askSteadily(std::chrono::milliseconds(std::strtoull(from.c_str(), nullptr, 10)),
                            std::chrono::seconds(std::strtoull(to.c_str(), nullptr, 10)));
    std::printf(asking ? "asking\n" : "no participant\n");
  } else if (verb == "fetch") {
    std::string lingering;
    words >> lingering;
    const auto client = ombrelia::Uuid::parse(from);
    const auto fetched =
        client ? tracker.fetchThenLeave(
                     *client, std::strtoull(to.c_str(), nullptr, 10),
                     std::chrono::milliseconds(std::strtoull(lingering.c_str(), nullptr, 10)))
               : std::nullopt;
    if (fetched) {
      std::printf("fetched %zu %llu\n", fetched->wholeSegments,
                  static_cast<unsigned long long>(fetched->frameBytes));
    } else {
      std::printf("not joined\n");
    }
  } else if (verb == "askersEnded") {
    std::printf("%zu\n", tracker.askersEnded());
  } else if (verb == "ended") {
    std::printf("%d\n", tracker.channelOpenerEnded() ? 1 : 0);
  } else if (verb == "opened") {
    std::printf("%zu\n", tracker.channelsOpened());
  } else {
    std::printf("unknown command\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  std::string caFile;
  bool groupAfterUuid = false;
  std::string analyticsLog;
  bool silentDepartures = false;
  bool commands = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--ca-file") == 0 && i + 1 < argc) {
      caFile = argv[++i];
    } else if (std::strcmp(argv[i], "--group-after-uuid") == 0) {
      groupAfterUuid = true;
    } else if (std::strcmp(argv[i], "--silent-departures") == 0) {
      silentDepartures = true;
    } else if (std::strcmp(argv[i], "--analytics-log") == 0 && i + 1 < argc) {
      analyticsLog = argv[++i];
    } else if (std::strcmp(argv[i], "--commands") == 0) {
      commands = true;
    } else {
      std::fprintf(stderr,
                   "usage: ombrelia-test-tracker [--port P] [--ca-file PATH] "
                   "[--group-after-uuid] [--silent-departures] [--analytics-log PATH] "
                   "[--commands]\n");
      return 2;
    }
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  TestCertificates authority;
  std::error_code ignoredError;
  if (!caFile.empty()) {
    std::error_code ec;
    std::filesystem::copy_file(authority.caFile(), caFile,
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
      std::fprintf(stderr, "cannot write %s: %s\n", caFile.c_str(), ec.message().c_str());
      return 1;
    }
  }
  // The tests end a tracker with SIGKILL, as a crash would, and no destructor runs then: the
  // authority's own folder goes now, as nothing here reads it again.
  std::filesystem::remove_all(authority.caFile().parent_path(), ignoredError);
  TestTracker tracker(
      TestTracker::Settings{authority.issue({"localhost"}, {"127.0.0.1", "::1"}), port});
  tracker.setGroupResponseAfterUuid(groupAfterUuid);
  tracker.setAnnounceDepartures(!silentDepartures);
  std::printf("%s\n", tracker.url("127.0.0.1").toString().c_str());
  std::fflush(stdout);
  if (analyticsLog.empty() && !commands) {
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
  }
  FILE* log = nullptr;
  if (!analyticsLog.empty()) {
    log = std::fopen(analyticsLog.c_str(), "a");
    if (log == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", analyticsLog.c_str());
      return 1;
    }
  }
  // The reader blocks on standard input until the process ends, so it is left detached and
  // touches only the queue, which it shares.
  auto queue = std::make_shared<Commands>();
  if (commands) {
    std::thread([queue] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard lock(queue->mutex);
        queue->lines.push_back(line);
      }
    }).detach();
  }
  size_t written = 0;
  const timespec poll{0, 50'000'000};
  for (;;) {
    if (log != nullptr) {
      const auto records = tracker.received("analytics");
      for (; written < records.size(); ++written) {
        std::fprintf(log, "%zu\t%s\n", records[written].connection, records[written].text.c_str());
      }
      std::fflush(log);
    }
    while (auto command = queue->next()) run(tracker, *command);
    if (sigtimedwait(&stop, nullptr, &poll) > 0) break;
  }
  if (log != nullptr) std::fclose(log);
  return 0;
}
