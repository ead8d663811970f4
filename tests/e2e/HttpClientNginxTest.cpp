#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/HttpBodyStream.hpp"
#include "platform/HttpClient.hpp"
#include "platform/HttpTask.hpp"
#include "support/CountdownLatch.hpp"
#include "support/NginxOrigin.hpp"
#include "support/ResidentMemory.hpp"
#include "support/StreamedBody.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::platform {
namespace {

using test::NginxOrigin;
using test::TestHttpResponse;
using namespace std::chrono_literals;

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = *Url::parse(url);
  return request;
}

std::optional<HttpResult> fetch(HttpClient& client, const std::string& url) {
  auto promise = std::make_shared<std::promise<HttpResult>>();
  auto future = promise->get_future();
  client.dataTask(get(url), [promise](HttpResult result) { promise->set_value(result); });
  if (future.wait_for(test::scaledWait(10s)) != std::future_status::ready) return std::nullopt;
  return future.get();
}

// "<protocol> <connection serial>" as the origin's /connection answers it.
std::string connectionOf(const std::optional<HttpResult>& result) {
  if (!result || !result->hasValue()) return "failed";
  std::string body = result->value().body.toString();
  while (!body.empty() && body.back() == '\n') body.pop_back();
  return body;
}

TEST(HttpClientNginxTest, SequentialRequestsReuseOneHttp11Connection) {
  NginxOrigin origin;
  origin.writeFile("live/seg1.ts", std::string(1000, 's'));
  auto client = HttpClient::create();

  auto segment = fetch(*client, origin.url("/live/seg1.ts"));
  ASSERT_TRUE(segment && segment->hasValue());
  EXPECT_EQ(segment->value().mimeType, "video/mp2t");
  const std::string first = connectionOf(fetch(*client, origin.url("/connection")));
  EXPECT_EQ(first.rfind("HTTP/1.1 ", 0), 0u) << first;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(connectionOf(fetch(*client, origin.url("/connection"))), first);
  }
}

TEST(HttpClientNginxTest, ParallelHttpsRequestsShareOneHttp2Connection) {
  NginxOrigin origin({.tls = true, .http2 = true});
  // Set before the client exists, so the engine's thread only ever reads it.
  ::setenv("SSL_CERT_FILE", origin.certificateFile().c_str(), 1);
  auto client = HttpClient::create();

  constexpr int kRequests = 10;
  test::CountdownLatch completed(kRequests);
  std::mutex mutex;
  std::set<std::string> seen;
  for (int i = 0; i < kRequests; ++i) {
    client->dataTask(get(origin.url("/connection")), [&](HttpResult result) {
      {
        std::lock_guard lock(mutex);
        seen.insert(connectionOf(result));
      }
      completed.countDown();
    });
  }
  ASSERT_TRUE(completed.wait());
  ASSERT_EQ(seen.size(), 1u) << "expected one multiplexed connection, saw " << seen.size();
  EXPECT_EQ(seen.begin()->rfind("HTTP/2.0 ", 0), 0u) << *seen.begin();
}

// Over HTTP/2 every transfer shares one connection. More abandoned transfers than the client
// opens connections to one origin take nothing from a request someone waits for; those past the
// body budget end with their own stream, leaving the connection to the others; and a stream its
// body gate pauses loses no byte.
TEST(HttpClientNginxTest, OverHttp2AbandonedAndPausedStreamsLeaveTheConnectionToTheOthers) {
  NginxOrigin origin(
      {.tls = true,
       .http2 = true,
       .extraServerConfig =
           "location /paced/ { limit_rate 262144; rewrite ^/paced/(.*)$ /$1 break; }"});
  origin.writeFile("big.ts", std::string(4 << 20, 'b'));
  std::string gated(1'000'000, '\0');
  for (size_t i = 0; i < gated.size(); ++i) gated[i] = static_cast<char>(i * 7 + i / 1009);
  origin.writeFile("gated.m3u8", gated);
  ::setenv("SSL_CERT_FILE", origin.certificateFile().c_str(), 1);
  // Declared before the client, which completes what is left running as it goes.
  std::mutex mutex;
  std::vector<std::string> ended;
  test::CountdownLatch fourEnded(4);
  test::CountdownLatch allEnded(10);
  auto client = HttpClient::create({.delegateQueue = nullptr, .maxBodyBytesInFlight = 26u << 20});
  const std::string connection = connectionOf(fetch(*client, origin.url("/connection")));
  ASSERT_EQ(connection.rfind("HTTP/2.0 ", 0), 0u) << connection;
  std::vector<std::shared_ptr<HttpTask>> tasks;
  for (int n = 0; n < 10; ++n) {
    auto begun = std::make_shared<test::CountdownLatch>(1);
    auto request = get(origin.url("/paced/big.ts?n=" + std::to_string(n)));
    request.onBodyStart = [begun](HttpResponse, std::shared_ptr<HttpBodyStream>) {
      begun->countDown();
    };
    tasks.push_back(client->dataTask(std::move(request), [&](HttpResult result) {
      {
        std::lock_guard lock(mutex);
        ended.push_back(result.errorIf() ? result.errorIf()->message : "whole");
      }
      fourEnded.countDown();
      allEnded.countDown();
    }));
    ASSERT_TRUE(begun->wait());
  }
  for (auto& task : tasks) task->abandon();
  ASSERT_TRUE(fourEnded.wait());
  EXPECT_EQ(connectionOf(fetch(*client, origin.url("/connection"))), connection)
      << "the abandoned streams took the connection with them";

  std::atomic<int> offers{0};
  auto paused = get(origin.url("/gated.m3u8"));
  paused.bodyGate = [&](size_t, std::function<void()> resume) {
    if (offers++ > 0) return true;
    std::thread([resume = std::move(resume)] { resume(); }).detach();
    return false;
  };
  auto promise = std::make_shared<std::promise<HttpResult>>();
  auto future = promise->get_future();
  client->dataTask(std::move(paused), [promise](HttpResult result) { promise->set_value(result); });
  ASSERT_EQ(future.wait_for(test::scaledWait(10s)), std::future_status::ready);
  const auto result = future.get();
  ASSERT_TRUE(result.hasValue()) << result.error().message;
  EXPECT_TRUE(result.value().body.view() == gated);
  EXPECT_GE(offers.load(), 2);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(ended.size(), 4u) << "only those past the budget end";
    for (const auto& message : ended) {
      EXPECT_NE(message.find("passed"), std::string::npos) << message;
    }
  }
  for (auto& task : tasks) task->cancel();
  EXPECT_TRUE(allEnded.wait());

  // A stream whose reader takes nothing pauses alone, a bounded way ahead of its reader: the
  // connection serves the others meanwhile, and the stream comes whole once read.
  std::shared_ptr<HttpBodyStream> unread;
  test::CountdownLatch unreadBegun(1);
  auto unreadRequest = get(origin.url("/big.ts?unread"));
  unreadRequest.onBodyStart = [&](HttpResponse, std::shared_ptr<HttpBodyStream> stream) {
    unread = std::move(stream);
    unreadBegun.countDown();
  };
  auto unreadPromise = std::make_shared<std::promise<HttpResult>>();
  auto unreadFuture = unreadPromise->get_future();
  client->dataTask(std::move(unreadRequest),
                   [unreadPromise](HttpResult r) { unreadPromise->set_value(r); });
  ASSERT_TRUE(unreadBegun.wait());
  EXPECT_EQ(unreadFuture.wait_for(1s), std::future_status::timeout)
      << "a stream nobody read came in whole";
  EXPECT_EQ(connectionOf(fetch(*client, origin.url("/connection"))), connection)
      << "the paused stream held the connection up";
  test::StreamedBody reader(unread);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_EQ(reader.received().size(), size_t{4} << 20);
  ASSERT_EQ(unreadFuture.wait_for(test::scaledWait(10s)), std::future_status::ready);
  EXPECT_TRUE(unreadFuture.get().hasValue());
}

#if defined(__SANITIZE_ADDRESS__)
// Freed memory stays resident in AddressSanitizer's quarantine, 256 MB by default in the test's
// own process: there the bound only catches a runaway, and the plain build shows it.
constexpr size_t kQuarantine = 256u << 20;
#else
constexpr size_t kQuarantine = 0;
#endif

// Over HTTP/2 libcurl keeps taking what the server sends on a paused stream, up to the stream's
// window of tens of MiB. Players that read nothing of large bodies hold the client to their
// look-ahead all the same; a player that then reads gets every byte, from the same connection;
// and an origin whose answer to the rest is another resource resets its player rather than
// hand it wrong bytes.
TEST(HttpClientNginxTest, OverHttp2PlayersThatReadNothingHoldOnlyTheirLookAheadAndReadWholeLater) {
  NginxOrigin origin({.tls = true,
                      .http2 = true,
                      .extraServerConfig = "location /changing/ { if ($http_range) { rewrite ^ "
                                           "/other.ts break; } rewrite ^/changing/(.*)$ /$1 "
                                           "break; }"});
  constexpr size_t kBodyBytes = 30u << 20;
  std::string body(kBodyBytes, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13 + i / 4093);
  origin.writeFile("big.ts", body);
  origin.writeFile("other.ts", std::string(kBodyBytes + 1, 'o'));
  ::setenv("SSL_CERT_FILE", origin.certificateFile().c_str(), 1);
  auto client = HttpClient::create();
  const std::string connection = connectionOf(fetch(*client, origin.url("/connection")));
  ASSERT_EQ(connection.rfind("HTTP/2.0 ", 0), 0u) << connection;

  constexpr int kPlayers = 8;
  std::vector<std::shared_ptr<HttpBodyStream>> streams(kPlayers);
  std::vector<std::future<HttpResult>> results;
  test::CountdownLatch begun(kPlayers);
  // Resident memory, not the heap's count: a body of declared length reserves its whole buffer
  // at once, which holds no page until written.
  const size_t peak = test::residentGrowth(::getpid(), [&] {
    for (int n = 0; n < kPlayers; ++n) {
      const std::string path = n == 0 ? "/changing/big.ts" : "/big.ts?p=" + std::to_string(n);
      auto request = get(origin.url(path));
      request.onBodyStart = [&streams, &begun, n](HttpResponse,
                                                  std::shared_ptr<HttpBodyStream> stream) {
        streams[n] = std::move(stream);
        begun.countDown();
      };
      auto promise = std::make_shared<std::promise<HttpResult>>();
      results.push_back(promise->get_future());
      client->dataTask(std::move(request), [promise](HttpResult r) { promise->set_value(r); });
    }
    ASSERT_TRUE(begun.wait());
    const auto deadline = std::chrono::steady_clock::now() + test::scaledWait(20s);
    const auto allAhead = [&streams] {
      return std::all_of(streams.begin(), streams.end(), [](const auto& stream) {
        return stream->unreadBytes() >= HttpBodyStream::kMaxUnreadBytes;
      });
    };
    while (!allAhead() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(allAhead());
    // Time for a window's worth to come on loopback, were libcurl taking it.
    std::this_thread::sleep_for(test::scaledWait(1s));
  });
  ASSERT_EQ(results.size(), size_t{kPlayers});
  // Each player's look-ahead, a piece past it and libcurl's buffers; one stream's window alone
  // is more (the plain build: 18 MB, and 215 MB when libcurl kept the paused streams' windows).
  EXPECT_LT(peak,
            kPlayers * (HttpBodyStream::kMaxUnreadBytes + (1u << 20)) * test::kResidentPerHeapByte +
                kQuarantine)
      << "the streams nobody read held " << peak << " bytes";
  EXPECT_EQ(connectionOf(fetch(*client, origin.url("/connection"))), connection);

  test::StreamedBody reader(streams[1]);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body) << "got " << reader.received().size() << " bytes";
  ASSERT_EQ(results[1].wait_for(test::scaledWait(10s)), std::future_status::ready);
  const auto whole = results[1].get();
  ASSERT_TRUE(whole.hasValue()) << whole.error().message;
  EXPECT_EQ(whole.value().statusCode, 200);

  // A player that reads a little at a time has its stream set aside again each time it stops,
  // more often than a body may break off, and still gets every byte.
  test::StreamedBody stopping(streams[2]);
  for (int stop = 1; stop <= HttpClient::kMaxBodyBreaks + 2; ++stop) {
    ASSERT_EQ(stopping.readAtLeast(stop * (3u << 19)), test::StreamedBody::Outcome::partway);
    // The body fills its look-ahead again, unless it was set aside while its reader still had
    // half of it unread: then it waits for the next read, and what it holds stays as it is (a
    // wait for the full look-ahead would last its whole ceiling, two minutes under TSan).
    const auto refilled = std::chrono::steady_clock::now() + test::scaledWait(10s);
    size_t held = streams[2]->unreadBytes();
    auto heldSince = std::chrono::steady_clock::now();
    while (streams[2]->unreadBytes() < HttpBodyStream::kMaxUnreadBytes &&
           std::chrono::steady_clock::now() < refilled) {
      std::this_thread::sleep_for(10ms);
      const size_t now = streams[2]->unreadBytes();
      if (now != held) {
        held = now;
        heldSince = std::chrono::steady_clock::now();
      } else if (held >= HttpBodyStream::kMaxUnreadBytes / 2 &&
                 std::chrono::steady_clock::now() - heldSince >= 1s) {
        break;
      }
    }
  }
  EXPECT_EQ(stopping.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(stopping.received() == body) << "got " << stopping.received().size() << " bytes";

  test::StreamedBody misled(streams[0]);
  EXPECT_EQ(misled.readAll(), test::StreamedBody::Outcome::failed);
  EXPECT_LT(misled.received().size(), body.size());
  EXPECT_TRUE(body.compare(0, misled.received().size(), misled.received()) == 0);
  ASSERT_EQ(results[0].wait_for(test::scaledWait(10s)), std::future_status::ready);
  EXPECT_FALSE(results[0].get().hasValue());
}

// The stray bytes are a whole answer, sent once the first answer has been read, which the next
// request on that connection would take for its own.
TEST(HttpClientNginxTest, PlainConnectionOutOfStepIsCaughtAlsoWhenAnHttpsRedirectLeadsThere) {
  test::TestHttpServer plain;
  test::CountdownLatch overrunSent(1);
  TestHttpResponse first = TestHttpResponse::ok("first segment", "video/mp2t");
  first.keepAlive = true;
  first.overrun =
      "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: 11\r\n\r\n"
      "extra-bytes";
  first.overrunDelay = 30ms;
  first.onOverrunSent = [&overrunSent] { overrunSent.countDown(); };
  plain.route("/first.ts", first);
  TestHttpResponse second = TestHttpResponse::ok("second segment", "video/mp2t");
  second.keepAlive = true;
  plain.route("/second.ts", second);
  NginxOrigin origin({.tls = true,
                      .http2 = true,
                      .extraServerConfig =
                          "location = /moved.ts { return 302 " + plain.url("/second.ts") + "; }"});
  ::setenv("SSL_CERT_FILE", origin.certificateFile().c_str(), 1);
  auto client = HttpClient::create();

  auto before = fetch(*client, plain.url("/first.ts"));
  ASSERT_TRUE(before && before->hasValue());
  ASSERT_TRUE(overrunSent.wait()) << "the plain origin sent its extra answer";
  auto moved = fetch(*client, origin.url("/moved.ts"));
  ASSERT_TRUE(moved && moved->hasValue())
      << (moved ? moved->error().message : std::string("no completion"));
  EXPECT_EQ(moved->value().body.toString(), "second segment");
  EXPECT_EQ(moved->value().url, plain.url("/second.ts"));
  EXPECT_EQ(plain.connectionCount(), 2u) << "the connection out of step was replaced";
}

// An HTTPS proxy the environment names, with a certificate of the authority SSL_CERT_FILE
// trusts, carries the origin's requests; a host NO_PROXY lists goes direct. nginx forwards the
// proxy's requests and marks them with a Via header the origin sees.
TEST(HttpClientNginxTest, HttpsProxyIsTrustedThroughTheCaFileAndNoProxyBypassesIt) {
  test::TestHttpServer origin;
  origin.route("/segment.ts", TestHttpResponse::ok("the segment", "video/mp2t"));
  NginxOrigin proxy({.tls = true,
                     .extraServerConfig = "location / { proxy_pass http://$http_host; "
                                          "proxy_set_header Via \"1.1 test-proxy\"; }"});
  // Set before each client exists, so the engine's thread only ever reads them.
  ::setenv("SSL_CERT_FILE", proxy.certificateFile().c_str(), 1);
  ::setenv("http_proxy", proxy.url("").c_str(), 1);
  for (const char* name : {"no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);

  auto client = HttpClient::create();
  auto proxied = fetch(*client, origin.url("/segment.ts"));
  ASSERT_TRUE(proxied && proxied->hasValue())
      << (proxied ? proxied->error().message : std::string("no completion"));
  EXPECT_EQ(proxied->value().body.toString(), "the segment");
  ASSERT_EQ(origin.requestCount(), 1u);
  EXPECT_EQ(origin.requests().back().header("via"), "1.1 test-proxy") << "sent through the proxy";

  client.reset();
  ::setenv("no_proxy", "127.0.0.1", 1);
  client = HttpClient::create();
  auto direct = fetch(*client, origin.url("/segment.ts"));
  ASSERT_TRUE(direct && direct->hasValue())
      << (direct ? direct->error().message : std::string("no completion"));
  ASSERT_EQ(origin.requestCount(), 2u);
  EXPECT_EQ(origin.requests().back().header("via"), std::nullopt) << "NO_PROXY lists the origin";
  ::unsetenv("http_proxy");
  ::unsetenv("no_proxy");
}

TEST(HttpClientNginxTest, UntrustedCertificateIsRefused) {
  NginxOrigin origin({.tls = true});
  ::unsetenv("SSL_CERT_FILE");
  auto client = HttpClient::create();

  auto result = fetch(*client, origin.url("/connection"));
  ASSERT_TRUE(result && !result->hasValue());
  EXPECT_EQ(result->error().cause, HttpErrorCause::serverCertificateUntrusted);
  EXPECT_EQ(result->error().code(), -1202);
}

}  // namespace
}  // namespace ombrelia::platform
