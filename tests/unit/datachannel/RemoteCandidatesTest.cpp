// A peer whose offer was taken sends candidate after candidate, distinct and repeated, in its
// description and trickled, or checks from address after address it never announced: the
// connection's ICE agent holds no more than a few dozen, so neither memory nor the shared loop's
// work grows with what the peer sends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ombrelia/OLoggerConfig.hpp>
#include <regex>

#include "datachannel/DCPeerConnection.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/SampleDescription.hpp"

namespace ombrelia::datachannel {
namespace {

std::string candidate(int i) {
  return "candidate:" + std::to_string(i) + " 1 UDP 2122260223 127." + std::to_string(i / 256) +
         "." + std::to_string(i % 256) + " " + std::to_string(10000 + i % 50000) + " typ host";
}

size_t count(const std::string& text, const std::string& what) {
  size_t found = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
  return found;
}

TEST(RemoteCandidatesTest, ConnectionTakesAFewDozenWhateverThePeerSends) {
  auto connection = DCPeerConnection::create(test::LoopbackPeers::loopbackConfig());
  ASSERT_TRUE(connection);
  std::string offer = test::SampleDescription::withFingerprint("AB");
  std::string inDescription;
  for (int i = 0; i < 20; ++i) inDescription += "a=" + candidate(i) + "\r\n";
  offer += inDescription;

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(connection->setRemoteDescription(offer));
  // The same candidate again and again counts each time, then thousands of distinct ones.
  for (int i = 0; i < 20; ++i) connection->addRemoteCandidate("a=" + candidate(0), "0");
  for (int i = 20; i < 3000; ++i) connection->addRemoteCandidate(candidate(i), "0");
  const auto held = connection->remoteCandidatesForTesting();
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);

  ASSERT_TRUE(held) << "the ICE agent did not start";
  EXPECT_LE(*held, 32u) << "the agent holds every candidate the peer sent";
  EXPECT_GE(*held, 20u) << "the description's own candidates were not all taken";
  EXPECT_EQ(count(out, "remote candidates past"), 1u) << out.substr(0, 2000);
}

// A STUN binding request as an ICE peer checks a pair with: the credentials of the session it
// negotiated, signed with the answerer's password, fingerprinted.
std::string bindingRequest(const std::string& username, const std::string& password) {
  std::string message(20, '\0');
  message[1] = 0x01;
  const uint8_t cookie[] = {0x21, 0x12, 0xA4, 0x42};
  std::copy(cookie, cookie + 4, message.begin() + 4);
  RAND_bytes(reinterpret_cast<unsigned char*>(message.data()) + 8, 12);
  const auto attribute = [&](uint16_t type, const std::string& value) {
    message += static_cast<char>(type >> 8);
    message += static_cast<char>(type & 0xFF);
    message += static_cast<char>(value.size() >> 8);
    message += static_cast<char>(value.size() & 0xFF);
    message += value;
    message.append((4 - value.size() % 4) % 4, '\0');
  };
  const auto setLength = [&](size_t extra) {
    const size_t length = message.size() - 20 + extra;
    message[2] = static_cast<char>(length >> 8);
    message[3] = static_cast<char>(length & 0xFF);
  };
  attribute(0x0006, username);                            // USERNAME
  attribute(0x0024, std::string("\x6e\x00\x1e\xff", 4));  // PRIORITY
  attribute(0x802A, std::string(8, '\x07'));              // ICE-CONTROLLING, its tie-breaker
  setLength(24);
  unsigned char mac[20];
  unsigned int macLength = 0;
  HMAC(EVP_sha1(), password.data(), static_cast<int>(password.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &macLength);
  attribute(0x0008, std::string(reinterpret_cast<char*>(mac), macLength));  // MESSAGE-INTEGRITY
  setLength(8);
  const uint32_t crc =
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(message.data()),
                                  static_cast<uInt>(message.size()))) ^
      0x5354554E;
  std::string fingerprint(4, '\0');
  for (int i = 0; i < 4; ++i) fingerprint[i] = static_cast<char>(crc >> (24 - 8 * i));
  attribute(0x8028, fingerprint);  // FINGERPRINT
  return message;
}

std::string field(const std::string& sdp, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(sdp, match, std::regex(pattern)) ? match[1].str() : std::string();
}

TEST(RemoteCandidatesTest, ChecksFromEverNewAddressesEndTheConnection) {
  auto connection = DCPeerConnection::create(test::LoopbackPeers::loopbackConfig());
  ASSERT_TRUE(connection);
  std::mutex mutex;
  std::condition_variable changed;
  std::string answer;
  uint16_t port = 0;
  bool failed = false;
  connection->onLocalDescription([&](std::string sdp) {
    std::lock_guard lock(mutex);
    answer = std::move(sdp);
    changed.notify_all();
  });
  connection->onLocalCandidate([&](std::string candidate, std::string) {
    std::lock_guard lock(mutex);
    if (port == 0) {
      port = static_cast<uint16_t>(std::stoi(field(candidate, R"(127\.0\.0\.1 (\d+) typ host)")));
    }
    changed.notify_all();
  });
  connection->onStateChange([&](DCIceState state) {
    std::lock_guard lock(mutex);
    if (state == DCIceState::failed) failed = true;
    changed.notify_all();
  });
  const std::string remoteUfrag = "EsAw";
  const std::string offer = test::SampleDescription::withFingerprint("AB", "sha-256", remoteUfrag);
  ASSERT_TRUE(connection->setRemoteDescription(offer));
  std::string username;
  std::string password;
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return !answer.empty() && port != 0;
    })) << "no answer or no local candidate";
    username = field(answer, R"(a=ice-ufrag:(\S+))") + ":" + remoteUfrag;
    password = field(answer, R"(a=ice-pwd:(\S+))");
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Each check from its own address on 127/8, which loopback answers for whole.
  const auto checkFrom = [&](int host) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(100 * 256 + host));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0) {
      const std::string check = bindingRequest(username, password);
      ::sendto(fd, check.data(), check.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
  };

  // A few, as a peer behind a NAT might cause: learned and kept, the connection goes on.
  for (int host = 1; host <= 4; ++host) checkFrom(host);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::optional<size_t> held;
  while (std::chrono::steady_clock::now() < deadline) {
    held = connection->remoteCandidatesForTesting();
    if (held && *held >= 4) break;
  }
  ASSERT_TRUE(held && *held >= 4) << "the agent did not learn the checks' addresses";
  // Then hundreds more.
  for (int host = 5; host <= 250; ++host) checkFrom(host);
  std::unique_lock lock(mutex);
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return failed; }))
      << "the connection goes on holding every address the peer checks from: "
      << connection->remoteCandidatesForTesting().value_or(0) << " held";
}

}  // namespace
}  // namespace ombrelia::datachannel
