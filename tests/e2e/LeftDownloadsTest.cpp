// Players on a slow link leave segments partway (a seek, a quality switch), through the example
// host application: the downloads they leave never make the next request wait, and hold no more
// memory than the HTTP client's budget for bodies in flight; a real stream still plays.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "platform/HttpClient.hpp"
#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/HostProgram.hpp"
#include "support/LoopbackClient.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ResidentMemory.hpp"
#include "support/SampleStream.hpp"
#include "support/StreamOrigin.hpp"
#include "support/StreamPlayback.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

// The access log lines of `origin` for `file`.
std::vector<std::string> linesFor(const StreamOrigin& origin, const std::string& file) {
  std::vector<std::string> lines = origin.accessLog();
  std::erase_if(lines,
                [&](const std::string& line) { return line.find(file) == std::string::npos; });
  return lines;
}

// How many of `lines` say the whole file of `bytes` went out.
size_t whole(const std::vector<std::string>& lines, size_t bytes) {
  const std::string sent = "\" 200 " + std::to_string(bytes) + " ";
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(sent) != std::string::npos;
  });
}

class LeftDownloads : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        std::filesystem::temp_directory_path() / ("ombrelia-left-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root_);
    std::filesystem::copy(SampleStream::folder("ts3"), root_ / "m",
                          std::filesystem::copy_options::recursive);
    for (const auto& [name, size] : {std::pair{"big4m.ts", size_t{4} << 20},
                                     {"big16m.ts", size_t{16} << 20},
                                     {"small.ts", 100'000}}) {
      std::string bytes(size, '\0');
      for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + i / 4099);
      std::ofstream(root_ / name, std::ios::binary) << bytes;
    }
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // The viewer's local URL for an origin URL.
  std::string local(const std::string& originURL) const {
    return ReverseProxyURL::make(UrlReference::read(originURL).value(), port_)->toString();
  }
  // A player that asks for `originURL` and leaves once `bytes` of the answer have come.
  void leaveAfter(const std::string& originURL, size_t bytes) const {
    auto client = LoopbackClient::connect(static_cast<uint16_t>(port_));
    ASSERT_TRUE(client);
    const std::string target =
        local(originURL).substr(("http://127.0.0.1:" + std::to_string(port_)).size());
    client->send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_GE(client->readAtLeast(bytes, 10s).size(), bytes) << originURL;
    client->close();
  }

  std::filesystem::path root_;
  int port_ = 0;
};

TEST_F(LeftDownloads, NextRequestsNeverWaitForThemAndTheirBodiesKeepToTheBudget) {
  StreamOrigin origin(root_.string());
  StreamOrigin second(root_.string());
  ASSERT_TRUE(origin.running() && second.running());
  ChildProcess serve(
      {kHost, "serve", origin.url("/m/master.m3u8"), "--port", "0"},
      ChildProcess::Settings{
          .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
  const auto url = serve.readLine(test::scaledWait(10s));
  ASSERT_TRUE(url && url->starts_with("http://127.0.0.1:")) << url.value_or("no URL line");
  port_ = std::stoi(url->substr(std::string("http://127.0.0.1:").size()));

  // Sixteen segments of 16 MiB on two origins, each left after 64 KB: what goes on holds no
  // more than the budget of bodies in flight. At 4 MiB/s each takes seconds, so all of them are
  // in flight at once however slowly the players come.
  const size_t growth = residentGrowth(serve.pid(), [&] {
    for (int n = 0; n < 16; ++n) {
      const StreamOrigin& to = n % 2 == 0 ? origin : second;
      leaveAfter(to.url("/paced/4194304/big16m.ts?n=" + std::to_string(n)), 65536);
    }
    // Until every one has ended at the origin, cut short or whole; an access log offers no event.
    const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(60s);
    while (linesFor(origin, "big16m.ts").size() + linesFor(second, "big16m.ts").size() < 16 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(200ms);
    }
  });
  EXPECT_LT(growth,
            kResidentPerHeapByte * (platform::HttpClient::kMaxBodyBytesInFlight + (48u << 20)))
      << "resident memory grew by " << growth << " bytes for downloads nobody waited for";
  const size_t finished = whole(linesFor(origin, "big16m.ts"), size_t{16} << 20) +
                          whole(linesFor(second, "big16m.ts"), size_t{16} << 20);
  // A body that finishes leaves the budget for the store, so more than the budget's worth may
  // finish in turn; but not every one, as their sum passed the budget while all were in flight.
  EXPECT_GT(finished, 0u) << "none finished for the store within the budget";
  EXPECT_LT(finished, 16u) << "every download nobody waited for went on past the budget";

  // Eight segments of 4 MiB at 0.5 MiB/s, each left after 64 KB: as many as the viewer opens
  // connections to one origin, each with seconds of body still to come.
  const std::string paced = "/paced/524288/";
  for (int n = 0; n < 8; ++n)
    leaveAfter(origin.url(paced + "big4m.ts?n=" + std::to_string(n)), 65536);
  const Fetched next = fetchWithCurl(local(origin.url(paced + "small.ts")));
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.body.size(), 100'000u);
  const Fetched reload = fetchWithCurl(local(origin.url("/m/v0/index.m3u8?reload")));
  EXPECT_EQ(reload.status, 200);
  EXPECT_EQ(whole(linesFor(origin, "big4m.ts"), size_t{4} << 20), 0u)
      << "the next segment and the playlist waited for a download nobody waited for";

  // A real stream still plays, byte for byte.
  const Playback played = playThrough(*url, root_.string());
  EXPECT_EQ(played.failure, "");
  EXPECT_EQ(played.segments, 4u);
  EXPECT_EQ(serve.stop(SIGTERM, 10s), 0);
}

}  // namespace
}  // namespace ombrelia::test
