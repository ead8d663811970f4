// The test tracker as a program, for the demo and the multi-process tests: a wss signalling
// service on 127.0.0.1 with a certificate authority made at start.
//   ombrelia-test-tracker [--port P] [--ca-file PATH] [--group-after-uuid] [--silent-departures]
//                         [--analytics-log PATH]
// Prints "wss://127.0.0.1:<port>/" on its first line, writes the authority's certificate to
// PATH (clients trust it through SSL_CERT_FILE), and serves until SIGINT or SIGTERM. With an
// analytics log, every analytics text received is appended to it as it arrives, one per line:
// the connection number, a tab, the text.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "support/TestCertificates.hpp"
#include "support/TestTracker.hpp"

using namespace ombrelia::test;

int main(int argc, char** argv) {
  uint16_t port = 0;
  std::string caFile;
  bool groupAfterUuid = false;
  std::string analyticsLog;
  bool silentDepartures = false;
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
    } else {
      std::fprintf(stderr,
                   "usage: ombrelia-test-tracker [--port P] [--ca-file PATH] "
                   "[--group-after-uuid] [--silent-departures] [--analytics-log PATH]\n");
      return 2;
    }
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  TestCertificates authority;
  if (!caFile.empty()) {
    std::error_code ec;
    std::filesystem::copy_file(authority.caFile(), caFile,
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
      std::fprintf(stderr, "cannot write %s: %s\n", caFile.c_str(), ec.message().c_str());
      return 1;
    }
  }
  TestTracker tracker(
      TestTracker::Settings{authority.issue({"localhost"}, {"127.0.0.1", "::1"}), port});
  tracker.setGroupResponseAfterUuid(groupAfterUuid);
  tracker.setAnnounceDepartures(!silentDepartures);
  std::printf("%s\n", tracker.url("127.0.0.1").toString().c_str());
  std::fflush(stdout);
  if (analyticsLog.empty()) {
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
  }
  FILE* log = std::fopen(analyticsLog.c_str(), "a");
  if (log == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", analyticsLog.c_str());
    return 1;
  }
  size_t written = 0;
  const timespec poll{0, 100'000'000};
  for (;;) {
    const auto records = tracker.received("analytics");
    for (; written < records.size(); ++written) {
      std::fprintf(log, "%zu\t%s\n", records[written].connection, records[written].text.c_str());
    }
    std::fflush(log);
    if (sigtimedwait(&stop, nullptr, &poll) > 0) break;
  }
  std::fclose(log);
  return 0;
}
