// The example host application as a newcomer runs it: a child process playing or serving a
// stream that nginx serves.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <sstream>

#include "support/ChildProcess.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {
namespace {

const std::string kHost = std::string(OMBRELIA_BINARY_DIR) + "/examples/ombrelia-host";

// The summary table: "name   value" lines after the URL line.
std::map<std::string, std::string> table(const std::string& output) {
  std::map<std::string, std::string> rows;
  std::istringstream lines(output);
  const std::regex row(R"(^([a-z][a-z ]*[a-z]) {2,}(.+)$)");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, row)) rows[m[1]] = m[2];
  }
  return rows;
}

int64_t bytesServed(const StreamOrigin& origin) {
  int64_t total = 0;
  const std::regex entry(R"(" (\d{3}) (\d+) ")");
  for (const auto& line : origin.accessLog()) {
    std::smatch m;
    if (std::regex_search(line, m, entry)) total += std::stoll(m[2]);
  }
  return total;
}

TEST(HostApplication, PlayPrintsATableWhoseOriginBytesMatchWhatTheOriginServed) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  ASSERT_TRUE(origin.running());
  const auto r = ChildProcess::run(
      {kHost, "play", origin.url("/master.m3u8"), "--port", "0", "--speed", "8", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const auto rows = table(r.output);
  EXPECT_EQ(rows.at("result"), "played");
  EXPECT_EQ(rows.at("segments"), "4");
  EXPECT_EQ(rows.at("stalls"), "0");
  EXPECT_EQ(rows.at("bytes from peers"), "0");
  EXPECT_EQ(std::stoll(rows.at("bytes from origin")), bytesServed(origin));
}

TEST(HostApplication, ServePrintsAUrlFfmpegCanReadAndStopsCleanlyOnSigterm) {
  StreamOrigin origin(SampleStream::folder("ts3"));
  const int port = freeLoopbackPort();
  for (int round = 0; round < 2; ++round) {
    // The second round binds the same port at once: the first freed it.
    ChildProcess serve({kHost, "serve", origin.url("/master.m3u8"), "--port", std::to_string(port)},
                       ChildProcess::Settings{.captureStdout = true});
    const auto url = serve.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(url) << "no URL line";
    EXPECT_TRUE(url->starts_with("http://127.0.0.1:" + std::to_string(port) + "/master.m3u8?"))
        << *url;
    const auto probe = ChildProcess::run(
        {"ffprobe", "-v", "error", "-show_entries", "stream=width", "-of", "csv=p=0", *url});
    EXPECT_EQ(probe.exitCode, 0);
    EXPECT_NE(probe.output.find("256"), std::string::npos) << probe.output;
    EXPECT_EQ(serve.stop(SIGTERM, std::chrono::seconds(10)), 0) << "round " << round;
  }
}

TEST(HostApplication, RefusesABadCommandLine) {
  EXPECT_EQ(ChildProcess::run({kHost}).exitCode, 2);
  EXPECT_EQ(ChildProcess::run({kHost, "play", "file:///etc/passwd"}).exitCode, 2);
  EXPECT_EQ(ChildProcess::run({kHost, "serve", "http://h/x.m3u8", "--port", "99999"}).exitCode, 2);
}

}  // namespace
}  // namespace ombrelia::test
