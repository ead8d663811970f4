// Two processes of the example host application play one stream through their own proxies,
// meet through the test tracker, and the later one takes some of its segments from the earlier
// one over their data channel.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>

#include "support/ChildProcess.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kBin = OMBRELIA_BINARY_DIR;

struct Viewer {
  std::unique_ptr<ChildProcess> process;
  std::optional<std::string> uuid;
  std::optional<long long> bytesFromPeers;
  std::optional<std::string> result;
  std::vector<std::string> lines;

  void poll() {
    while (auto line = process->readLine(20ms)) {
      static const std::regex uuidLine(R"(Received UUID: ([0-9A-F-]{36}))");
      static const std::regex peersLine(R"(^bytes from peers\s+(\d+))");
      static const std::regex resultLine(R"(^result\s+(.+))");
      std::smatch m;
      if (std::regex_search(*line, m, uuidLine)) uuid = m[1];
      if (std::regex_search(*line, m, peersLine)) bytesFromPeers = std::stoll(m[1]);
      if (std::regex_search(*line, m, resultLine)) result = m[1];
      lines.push_back(*line);
    }
  }
};

TEST(PeerSegments, SecondViewerTakesSegmentsFromTheFirst) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("ombrelia-peers-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string caFile = (folder / "ca.pem").string();
  ChildProcess tracker(
      {kBin + "/tests/ombrelia-test-tracker", "--ca-file", caFile, "--group-after-uuid"},
      ChildProcess::Settings{.captureStdout = true});
  const auto trackerURL = tracker.readLine(10s);
  ASSERT_TRUE(trackerURL && trackerURL->starts_with("wss://127.0.0.1:")) << "no tracker";

  StreamOrigin origin(SampleStream::folder("ts3", 60, 2));
  auto start = [&](const std::string& name) {
    Viewer v;
    v.process = std::make_unique<ChildProcess>(
        std::vector<std::string>{kBin + "/examples/ombrelia-host", "play",
                                 origin.url("/master.m3u8"), "--port", "0", "--tracker",
                                 *trackerURL, "--speed", "6", "--client-id", name, "--quiet",
                                 "--log-level", "3"},
        ChildProcess::Settings{.captureStdout = true,
                               .discardStderr = true,
                               .extraEnvironment = {"SSL_CERT_FILE=" + caFile}});
    return v;
  };
  Viewer first = start("viewer-1");
  const auto firstDeadline = Clock::now() + 10s;
  while (!first.uuid && Clock::now() < firstDeadline) first.poll();
  ASSERT_TRUE(first.uuid) << "the first viewer never got its identifier";
  Viewer second = start("viewer-2");

  const auto deadline = Clock::now() + 40s;
  while (Clock::now() < deadline && !(first.result && second.result)) {
    first.poll();
    second.poll();
  }
  ASSERT_TRUE(second.result) << "the second viewer never finished";
  EXPECT_EQ(*second.result, "played");
  ASSERT_TRUE(second.bytesFromPeers);
  std::printf("bytes from peers: %lld\n", *second.bytesFromPeers);
  EXPECT_GT(*second.bytesFromPeers, 0) << "no segment came from the first viewer";
  if (::testing::Test::HasFailure()) {
    for (const auto& line : second.lines)
      if (line.find("PeerMessagesController") != std::string::npos ||
          line.find("P2PUpload") != std::string::npos || line.find("Decision") != std::string::npos)
        std::printf("%s\n", line.c_str());
  }
  first.process->stop(SIGTERM, 10s);
  second.process->stop(SIGTERM, 10s);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace ombrelia::test
