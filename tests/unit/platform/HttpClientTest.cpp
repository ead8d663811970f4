#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include "platform/HttpClient.hpp"
#include "platform/HttpTask.hpp"
#include "support/CountdownLatch.hpp"
#include "support/StreamedBody.hpp"
#include "support/TestHttpServer.hpp"

namespace ombrelia::platform {
namespace {

using test::TestHttpResponse;
using test::TestHttpServer;
using namespace std::chrono_literals;

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = *Url::parse(url);
  return request;
}

// Runs one request and waits for its completion with a bound.
std::optional<HttpResult> fetch(HttpClient& client, HttpRequest request) {
  auto promise = std::make_shared<std::promise<HttpResult>>();
  auto future = promise->get_future();
  client.dataTask(std::move(request), [promise](HttpResult result) { promise->set_value(result); });
  if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
  return future.get();
}

class HttpClientTest : public ::testing::Test {
 protected:
  TestHttpServer server;
  std::shared_ptr<HttpClient> client = HttpClient::create();
};

// Keeping a connection costs nothing to an origin that answers exactly what it announces; the
// check that a kept connection holds no stray bytes must not cost it that.
TEST_F(HttpClientTest, WellBehavedOriginIsAskedEverythingOverOneConnection) {
  for (const std::string path : {"/a", "/b", "/c", "/d"}) {
    TestHttpResponse kept = TestHttpResponse::ok("body of " + path, "video/mp2t");
    kept.keepAlive = true;
    server.route(path, kept);
  }
  for (int round = 0; round < 3; ++round) {
    for (const std::string path : {"/a", "/b", "/c", "/d"}) {
      auto result = fetch(*client, get(server.url(path)));
      ASSERT_TRUE(result && result->hasValue()) << path;
      EXPECT_EQ(result->value().body.toString(), "body of " + path);
    }
  }
  EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(HttpClientTest, ReportsStatusMimeTypeWithoutParametersAndBodyEvenOfAnErrorStatus) {
  server.route("/page", TestHttpResponse::ok("hello", "Text/HTML; charset=utf-8"));
  server.route("/bare", TestHttpResponse::ok("bytes"));
  TestHttpResponse missing = TestHttpResponse::ok("<h1>gone</h1>", "text/html");
  missing.status = 404;
  server.route("/segment.ts", missing);

  auto result = fetch(*client, get(server.url("/page")));
  ASSERT_TRUE(result && result->hasValue());
  EXPECT_EQ(result->value().statusCode, 200);
  EXPECT_EQ(result->value().mimeType, "text/html");
  EXPECT_EQ(result->value().body.toString(), "hello");
  EXPECT_EQ(result->value().url, server.url("/page"));

  auto bare = fetch(*client, get(server.url("/bare")));
  ASSERT_TRUE(bare && bare->hasValue());
  EXPECT_EQ(bare->value().mimeType, std::nullopt) << "no Content-Type was sent";

  auto missed = fetch(*client, get(server.url("/segment.ts")));
  ASSERT_TRUE(missed && missed->hasValue()) << "an error status is a response, not a failure";
  EXPECT_EQ(missed->value().statusCode, 404);
  EXPECT_EQ(missed->value().body.toString(), "<h1>gone</h1>");
}

TEST_F(HttpClientTest, GivesUpAfterTenRedirects) {
  server.route("/loop", TestHttpResponse::redirect("/loop"));

  auto result = fetch(*client, get(server.url("/loop")));
  ASSERT_TRUE(result && !result->hasValue());
  EXPECT_EQ(result->error().cause, HttpErrorCause::tooManyRedirects);
  EXPECT_EQ(server.requestCount(), 11u) << "the first request and ten redirects";
}

TEST_F(HttpClientTest, FetchesOnlyHttpAndHttpsUrlsRedirectsIncluded) {
  server.route("/to-file", TestHttpResponse::redirect("file:///etc/hostname"));

  for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"}) {
    auto result = fetch(*client, get(url));
    ASSERT_TRUE(result && !result->hasValue()) << url;
    EXPECT_EQ(result->error().cause, HttpErrorCause::unsupportedURL) << url;
    EXPECT_EQ(result->error().code(), -1002);
  }
  auto redirected = fetch(*client, get(server.url("/to-file")));
  ASSERT_TRUE(redirected && !redirected->hasValue())
      << "a redirect to file:// must not be followed";
  EXPECT_EQ(redirected->error().cause, HttpErrorCause::unsupportedURL);
}

// Leaves `count` kept connections to `origin` in the client's pool, each holding an answer
// nobody asked for, as an origin (or a middlebox) that overran its earlier answers leaves them.
// The earlier answers are held until all are asked, so each has a connection of its own.
bool leaveConnectionsOutOfStep(HttpClient& client, TestHttpServer& origin, size_t count) {
  auto asked = std::make_shared<test::CountdownLatch>(count);
  auto answered = std::make_shared<test::CountdownLatch>(count);
  auto overrunsSent = std::make_shared<test::CountdownLatch>(count);
  origin.route("/earlier", [asked, overrunsSent](const test::TestHttpRequest&) {
    TestHttpResponse response = TestHttpResponse::ok("earlier answer", "video/mp2t");
    response.mode = TestHttpResponse::Mode::heldUntilReleased;
    response.keepAlive = true;
    response.overrun = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nextra-bytes";
    response.overrunDelay = 30ms;
    response.onOverrunSent = [overrunsSent] { overrunsSent->countDown(); };
    asked->countDown();
    return response;
  });
  for (size_t i = 0; i < count; ++i) {
    client.dataTask(get(origin.url("/earlier")), [answered](HttpResult) { answered->countDown(); });
  }
  if (!asked->wait()) return false;
  origin.release("/earlier");
  return answered->wait() && overrunsSent->wait();
}

TestHttpResponse keptAlive(TestHttpResponse response) {
  response.keepAlive = true;
  return response;
}

size_t requestsFor(const TestHttpServer& server, const std::string& path) {
  const auto requests = server.requests();
  return static_cast<size_t>(std::count_if(requests.begin(), requests.end(),
                                           [&](const auto& r) { return r.path == path; }));
}

// A transfer whose next request would go on a connection out of step goes on from that hop on
// a new connection. The hop before it is not asked again: a redirector may answer only once,
// and asking it again would only lead onto the origin's next stale connection.
class HttpClientStartOverTest : public HttpClientTest {
 protected:
  TestHttpServer origin;

  void SetUp() override {
    origin.route("/segment", keptAlive(TestHttpResponse::ok("the segment", "video/mp2t")));
  }
};

// Both ends of the redirect held a stale connection: each is replaced once.
TEST_F(HttpClientStartOverTest, RedirectMeetingAConnectionOutOfStepAtEachEndStillGetsItsOwnAnswer) {
  server.route("/moved", keptAlive(TestHttpResponse::redirect(origin.url("/segment"))));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, server, 1));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, origin, 1));

  auto result = fetch(*client, get(server.url("/moved")));
  ASSERT_TRUE(result && result->hasValue())
      << (result ? result->error().message : std::string("no completion"));
  EXPECT_EQ(result->value().body.toString(), "the segment");
  EXPECT_EQ(result->value().url, origin.url("/segment"));
  EXPECT_EQ(server.connectionCount(), 2u)
      << "only the redirector's connection out of step replaced";
  EXPECT_EQ(origin.connectionCount(), 2u) << "only the origin's connection out of step replaced";
}

TEST_F(HttpClientStartOverTest, OriginWithManyConnectionsOutOfStepBehindARedirectIsStillReached) {
  // Several: a retry that asked the redirector again would meet the next one each time.
  constexpr size_t kStale = 5;
  server.route("/moved", keptAlive(TestHttpResponse::redirect(origin.url("/segment"))));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, origin, kStale));

  auto result = fetch(*client, get(server.url("/moved")));
  ASSERT_TRUE(result && result->hasValue())
      << (result ? result->error().message : std::string("no completion"));
  EXPECT_EQ(result->value().body.toString(), "the segment");
  EXPECT_EQ(result->value().url, origin.url("/segment")) << "the final URL, as without a retry";
  EXPECT_EQ(requestsFor(server, "/moved"), 1u) << "the redirector asked once";
  EXPECT_EQ(origin.connectionCount(), kStale + 1) << "one new connection to the origin";
}

TEST_F(HttpClientStartOverTest, RedirectThatWorksOnceIsNotSpentAgainOnARetry) {
  std::atomic<int> uses{0};
  server.route("/once", [&](const test::TestHttpRequest&) {
    if (uses++ == 0) return keptAlive(TestHttpResponse::redirect(origin.url("/segment")));
    TestHttpResponse spent = TestHttpResponse::ok("token already used", "text/plain");
    spent.status = 403;
    return spent;
  });
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, origin, 1));

  auto result = fetch(*client, get(server.url("/once?token=abc")));
  ASSERT_TRUE(result && result->hasValue())
      << (result ? result->error().message : std::string("no completion"));
  EXPECT_EQ(result->value().statusCode, 200);
  EXPECT_EQ(result->value().body.toString(), "the segment");
  EXPECT_EQ(uses.load(), 1);
}

// Two origins sending the request back and forth, the second with a stale connection: the
// redirects before and after the start-over count against the one bound.
TEST_F(HttpClientStartOverTest, RedirectsOfEveryTryCountAgainstOneBound) {
  server.route("/ping", keptAlive(TestHttpResponse::redirect(origin.url("/pong"))));
  origin.route("/pong", keptAlive(TestHttpResponse::redirect(server.url("/ping"))));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, origin, 1));

  auto result = fetch(*client, get(server.url("/ping")));
  ASSERT_TRUE(result && !result->hasValue());
  EXPECT_EQ(result->error().cause, HttpErrorCause::tooManyRedirects);
  EXPECT_EQ(requestsFor(server, "/ping") + requestsFor(origin, "/pong"), 11u)
      << "the first request and ten redirects, over both tries";
}

// Credentials in the first URL go, as libcurl sends them, to later hops on the same origin even
// where a redirect does not repeat them; after a start-over at such a hop as well, and still to
// no other origin.
TEST_F(HttpClientStartOverTest, FirstUrlsCredentialsStayWithItsOriginAcrossAStartOver) {
  // Each closes its connection, so that the next hop takes a stale one from the pool.
  server.route("/same", TestHttpResponse::redirect(server.url("/segment")));
  server.route("/elsewhere", TestHttpResponse::redirect(origin.url("/segment")));
  server.route("/segment", keptAlive(TestHttpResponse::ok("the redirector's segment")));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, server, 2));
  ASSERT_TRUE(leaveConnectionsOutOfStep(*client, origin, 1));
  const auto withCredentials = [](std::string url) {
    return url.replace(0, std::string("http://").size(), "http://user:pa%40ss@");
  };

  for (const char* path : {"/same", "/elsewhere"}) {
    auto result = fetch(*client, get(withCredentials(server.url(path))));
    ASSERT_TRUE(result && result->hasValue())
        << path << ": " << (result ? result->error().message : std::string("no completion"));
  }
  EXPECT_EQ(server.connectionCount(), 4u) << "both of the redirector's stale connections met";
  for (const auto& request : server.requests()) {
    if (request.path == "/earlier") continue;
    EXPECT_EQ(request.header("authorization"), "Basic dXNlcjpwYUBzcw==") << request.target;
  }
  for (const auto& request : origin.requests()) {
    EXPECT_EQ(request.header("authorization"), std::nullopt) << request.target;
  }
}

TEST_F(HttpClientTest, StalledServerTimesOutAfterTheRequestTimeout) {
  TestHttpResponse silent;
  silent.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/silent", silent);

  // Zero must not read as "no limit", as it does for libcurl.
  for (const auto timeout : {300ms, 0ms}) {
    auto request = get(server.url("/silent"));
    request.timeout = timeout;
    const auto started = std::chrono::steady_clock::now();
    auto result = fetch(*client, request);
    ASSERT_TRUE(result && !result->hasValue()) << timeout.count() << " ms";
    EXPECT_EQ(result->error().cause, HttpErrorCause::timedOut);
    EXPECT_EQ(result->error().code(), -1001);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  }
}

TEST_F(HttpClientTest, BodyOverTheCapFailsWhetherOrNotItsLengthIsDeclared) {
  server.route("/declared", TestHttpResponse::ok(std::string(5000, 'd')));
  TestHttpResponse undeclared = TestHttpResponse::ok(std::string(5000, 'u'));
  undeclared.mode = TestHttpResponse::Mode::closeDelimited;
  server.route("/undeclared", undeclared);
  server.route("/exact", TestHttpResponse::ok(std::string(1000, 'e')));

  for (const char* path : {"/declared", "/undeclared"}) {
    auto request = get(server.url(path));
    request.maxBodyBytes = 1000;
    auto result = fetch(*client, request);
    ASSERT_TRUE(result && !result->hasValue()) << path;
    EXPECT_EQ(result->error().cause, HttpErrorCause::dataLengthExceedsMaximum) << path;
    EXPECT_EQ(result->error().code(), -1103);
  }
  auto request = get(server.url("/exact"));
  request.maxBodyBytes = 1000;
  auto exact = fetch(*client, request);
  ASSERT_TRUE(exact && exact->hasValue()) << "a body of exactly the cap is allowed";
  EXPECT_EQ(exact->value().body.size(), 1000u);
}

// A body handed over as it arrives: only a 200's, the whole body in the end, and a reader that
// learns of a transfer that broke off instead of waiting for bytes that never come.
TEST_F(HttpClientTest, BodyHandedOverAsItArrivesEndsWholeOrFailsWithItsTransfer) {
  std::string body(600'000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  server.route("/whole", TestHttpResponse::ok(body, "video/mp2t"));
  TestHttpResponse half = TestHttpResponse::ok(body, "video/mp2t");
  half.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/half", half);
  TestHttpResponse missing = TestHttpResponse::ok("no such segment", "text/plain");
  missing.status = 404;
  server.route("/missing", missing);

  auto streamed = [&](const std::string& path, test::CountdownLatch& started,
                      std::shared_ptr<HttpBodyStream>& stream, HttpResponse& head) {
    auto request = get(server.url(path));
    request.onBodyStart = [&](HttpResponse h, std::shared_ptr<HttpBodyStream> s) {
      head = std::move(h);
      stream = std::move(s);
      started.countDown();
    };
    return request;
  };

  test::CountdownLatch wholeStarted(1);
  std::shared_ptr<HttpBodyStream> wholeStream;
  HttpResponse wholeHead;
  const auto whole = fetch(*client, streamed("/whole", wholeStarted, wholeStream, wholeHead));
  ASSERT_TRUE(whole && whole->hasValue());
  ASSERT_TRUE(wholeStarted.wait()) << "the start comes before the completion";
  EXPECT_EQ(wholeHead.statusCode, 200);
  EXPECT_EQ(wholeHead.mimeType, "video/mp2t");
  EXPECT_EQ(wholeStream->expectedLength(), body.size());
  test::StreamedBody reader(wholeStream);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body) << "the reader gets the origin's exact bytes";
  EXPECT_TRUE(whole->value().body.view() == body) << "and so does the completion";

  test::CountdownLatch brokenStarted(1);
  std::shared_ptr<HttpBodyStream> brokenStream;
  HttpResponse brokenHead;
  auto promise = std::make_shared<std::promise<HttpResult>>();
  auto broken = promise->get_future();
  client->dataTask(streamed("/half", brokenStarted, brokenStream, brokenHead),
                   [promise](HttpResult result) { promise->set_value(result); });
  ASSERT_TRUE(brokenStarted.wait()) << "the body starts before the origin has sent it all";
  test::StreamedBody partial(brokenStream);
  ASSERT_EQ(partial.readAtLeast(body.size() / 2), test::StreamedBody::Outcome::partway);
  EXPECT_TRUE(partial.received() == body.substr(0, body.size() / 2));
  server.closeStalled();
  EXPECT_EQ(partial.readAll(), test::StreamedBody::Outcome::failed)
      << "the reader is told, never left waiting";
  ASSERT_EQ(broken.wait_for(10s), std::future_status::ready);
  const auto brokenResult = broken.get();
  ASSERT_FALSE(brokenResult.hasValue()) << "a body cut short is no response";

  test::CountdownLatch missingStarted(1);
  std::shared_ptr<HttpBodyStream> missingStream;
  HttpResponse missingHead;
  const auto notFound =
      fetch(*client, streamed("/missing", missingStarted, missingStream, missingHead));
  ASSERT_TRUE(notFound && notFound->hasValue());
  client->delegateQueue()->drain();
  EXPECT_EQ(missingStarted.events(), 0u) << "an error page comes whole, with the completion";
  EXPECT_EQ(notFound->value().body.toString(), "no such segment");
}

TEST_F(HttpClientTest, RangeValueCannotInjectHeaderLines) {
  server.route("/x", TestHttpResponse::ok("x"));
  auto request = get(server.url("/x"));
  request.range = "bytes=0-1\r\nX-Injected: 1";
  auto result = fetch(*client, request);
  ASSERT_TRUE(result && !result->hasValue());
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HttpClientTest, CancelledTransferCompletesExactlyOnceAsCancelled) {
  TestHttpResponse silent;
  silent.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/silent", silent);

  test::CountdownLatch completed(1);
  std::optional<HttpResult> outcome;
  auto task = client->dataTask(get(server.url("/silent")), [&](HttpResult result) {
    outcome = result;
    completed.countDown();
  });
  task->cancel();
  task->cancel();
  ASSERT_TRUE(completed.wait());
  client->delegateQueue()->drain();
  EXPECT_EQ(completed.events(), 1u);
  ASSERT_TRUE(outcome && !outcome->hasValue());
  EXPECT_EQ(outcome->error().cause, HttpErrorCause::cancelled);
  EXPECT_EQ(outcome->error().code(), -999);
}

TEST_F(HttpClientTest, DestroyingTheClientCompletesRunningTransfersAsCancelled) {
  TestHttpResponse silent;
  silent.mode = TestHttpResponse::Mode::stallBeforeHead;
  server.route("/silent", silent);

  test::CountdownLatch completed(2);
  std::atomic<int> cancelled{0};
  for (int i = 0; i < 2; ++i) {
    client->dataTask(get(server.url("/silent")), [&](HttpResult result) {
      if (result.errorIf() && result.errorIf()->cause == HttpErrorCause::cancelled) ++cancelled;
      completed.countDown();
    });
  }
  client.reset();
  ASSERT_TRUE(completed.wait());
  EXPECT_EQ(cancelled.load(), 2);
}

}  // namespace
}  // namespace ombrelia::platform
