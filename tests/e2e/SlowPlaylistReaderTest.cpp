// A player reading a large playlist slowly, through the example host application: another
// player's large playlist is answered meanwhile, within seconds, rather than after the slow
// answer has been written whole.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/url/UrlReference.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackAddress.hpp"
#include "support/ProxyFixture.hpp"
#include "support/ServedSampleStream.hpp"
#include "support/SignedQuery.hpp"
#include "support/StreamOrigin.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {

using namespace std::chrono_literals;

constexpr size_t kQueryBytes = 8000;
// The slow player's playlist rewrites to about 40 MB, the other's to about 11 MB. Under a
// sanitizer each costs the viewer ten times the CPU: there both are a quarter of that, which
// still keeps the slow answer far larger than the sockets' buffers, and the bound is wider:
// under ThreadSanitizer on two cores the answer takes 6 s alone and took 15.7 s beside another
// test, where a player held up behind the slow one waits out curl's 60 s.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowSegments = 625;
constexpr int kOtherSegments = 175;
constexpr auto kAnsweredWithin = 30s;
#else
constexpr int kSlowSegments = 2500;
constexpr int kOtherSegments = 700;
constexpr auto kAnsweredWithin = 5s;
#endif

// A player on a poor link: a 4 KiB receive buffer, read 4 KiB at a time, about 25 KB/s.
class SlowReader {
 public:
  SlowReader(uint16_t port, const std::string& target) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int buffer = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    // A read never blocks the test for longer, and the first may wait for a sanitized viewer's
    // rewriting; shutting the socket down ends it at once.
    const timeval bound{60, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
    sockaddr_in address = loopbackAddress(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return;
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) return;
    thread_ = std::thread([this] {
      std::array<char, 4096> piece{};
      while (!stop_) {
        const ssize_t n = ::recv(fd_, piece.data(), piece.size(), 0);
        if (n <= 0) break;
        received_ += static_cast<size_t>(n);
        std::this_thread::sleep_for(160ms);  // paces the reader
      }
      ended_ = true;
    });
  }
  ~SlowReader() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  size_t received() const { return received_; }
  bool ended() const { return ended_; }

 private:
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<size_t> received_{0};
};

// The slow answer held the role that lets one playlist pass the budget, and held its bytes
// for as long as it was written: the other player's playlist got no answer within 150 s.
TEST(SlowPlaylistReader, AnotherPlayersLargePlaylistIsAnsweredWhileOneReadsSlowly) {
  ServedSampleStream stream("ombrelia-slow-reader");
  std::ofstream(stream.root() / "m" / "v0" / "slow.m3u8", std::ios::binary)
      << signedVodPlaylist(kSlowSegments, kQueryBytes);
  std::ofstream(stream.root() / "m" / "v0" / "other.m3u8", std::ios::binary)
      << signedVodPlaylist(kOtherSegments, kQueryBytes);
  {
    ASSERT_TRUE(stream.start("/m/master.m3u8", test::scaledWait(10s))) << stream.failure();
    StreamOrigin& origin = stream.origin();
    const std::string& url = stream.localMaster();
    const int port = stream.port();
    const auto local = [&](const std::string& path) {
      return ReverseProxyURL::make(UrlReference::read(origin.url(path)).value(), port)->toString();
    };
    const std::string slowLocal = local("/m/v0/slow.m3u8");
    const std::string otherLocal = local("/m/v0/other.m3u8");

    SlowReader slow(static_cast<uint16_t>(port), slowLocal.substr(url.find('/', 7)));
    // Its answer is being written once its first bytes arrive.
    const auto asked = std::chrono::steady_clock::now();
    while (slow.received() == 0 && !slow.ended() &&
           std::chrono::steady_clock::now() - asked < test::scaledWait(60s)) {
      std::this_thread::sleep_for(50ms);  // the reader thread offers no event
    }
    ASSERT_GT(slow.received(), 0u) << "the slow player got no byte of its playlist";

    // Two more players ask for the same playlist and read it at full speed; the other player
    // asks once the viewer has their bodies, whose work holds part of the budget.
    const auto fetch = [](const std::string& at) {
      return ChildProcess::run({"curl", "-g", "-s", "--max-time", "60", "-o", "/dev/null", "-w",
                                "%{http_code} %{size_download}", at},
                               90s);
    };
    std::vector<std::thread> fast;
    std::vector<std::string> fastAnswers(2);
    for (size_t n = 0; n < fastAnswers.size(); ++n) {
      fast.emplace_back([&, n] {
        fastAnswers[n] = fetch(local("/m/v0/slow.m3u8?fast=" + std::to_string(n))).output;
      });
    }
    const auto fetchedBySlowAndFast = [&] {
      size_t count = 0;
      for (const auto& line : origin.accessLog())
        count += line.find("/slow.m3u8") != std::string::npos;
      return count >= 3;
    };
    while (!fetchedBySlowAndFast() &&
           std::chrono::steady_clock::now() - asked < test::scaledWait(60s)) {
      std::this_thread::sleep_for(50ms);  // nginx's log offers no event
    }

    const auto begun = std::chrono::steady_clock::now();
    const auto fetched = fetch(otherLocal);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    std::printf("other player's playlist answered in %.2f s while one read slowly\n", took);
    EXPECT_EQ(fetched.output.substr(0, 3), "200") << fetched.output;
    EXPECT_LT(took, std::chrono::duration<double>(kAnsweredWithin).count())
        << "another player's large playlist took " << took << " s while one read slowly ("
        << fetched.output << ")";
    for (auto& player : fast) player.join();
    for (const auto& answer : fastAnswers) EXPECT_EQ(answer.substr(0, 3), "200") << answer;
    EXPECT_FALSE(slow.ended()) << "the slow player was cut off after " << slow.received()
                               << " bytes: it reads well above the minimum rate";
  }
}

}  // namespace
}  // namespace ombrelia::test
