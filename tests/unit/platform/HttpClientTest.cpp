#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "platform/HttpClient.hpp"
#include "platform/HttpTask.hpp"
#include "support/CountdownLatch.hpp"
#include "support/CpuTime.hpp"
#include "support/PatternedBytes.hpp"
#include "support/StreamedBody.hpp"
#include "support/TestHttpServer.hpp"
#include "support/WaitScale.hpp"
#include "support/Waiter.hpp"

namespace ombrelia::platform {
namespace {

using test::patternedBytes;
using test::TestHttpResponse;
using test::TestHttpServer;
using namespace std::chrono_literals;

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = *Url::parse(url);
  return request;
}

// The request, its body stream handed to `stream` once it starts (then `begun` counts down),
// for the test to read when it likes.
HttpRequest keepingStream(HttpRequest request, std::shared_ptr<HttpBodyStream>& stream,
                          test::CountdownLatch& begun) {
  request.onBodyStart = [&stream, &begun](HttpResponse, std::shared_ptr<HttpBodyStream> s) {
    stream = std::move(s);
    begun.countDown();
  };
  return request;
}

// Runs one request and waits for its completion with a bound.
std::optional<HttpResult> fetch(HttpClient& client, HttpRequest request) {
  auto promise = std::make_shared<std::promise<HttpResult>>();
  auto future = promise->get_future();
  client.dataTask(std::move(request), [promise](HttpResult result) { promise->set_value(result); });
  if (future.wait_for(test::scaledWait(10s)) != std::future_status::ready) return std::nullopt;
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
  std::string body = patternedBytes(600'000, 7, 251);
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
  ASSERT_EQ(broken.wait_for(test::scaledWait(10s)), std::future_status::ready);
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

// What a transfer ended with, and when, for tests that leave transfers running.
struct Outcomes {
  test::Waiter waiter;
  std::map<std::string, std::optional<HttpResult>> results;

  HttpClient::Completion completion(const std::string& name) {
    {
      std::lock_guard lock(waiter.mutex());
      results[name] = std::nullopt;
    }
    return [this, name](HttpResult result) {
      std::lock_guard lock(waiter.mutex());
      results[name] = std::move(result);
      waiter.notify();
    };
  }
  size_t ended() {
    return std::count_if(results.begin(), results.end(),
                         [](const auto& entry) { return entry.second.has_value(); });
  }
  bool waitForEnded(size_t count) {
    return waiter.waitFor(test::scaledWait(10s), [&] { return ended() >= count; });
  }
  // The messages of the transfers that ended cancelled.
  std::vector<std::string> cancellations() {
    std::lock_guard lock(waiter.mutex());
    std::vector<std::string> messages;
    for (const auto& [name, result] : results) {
      if (result && result->errorIf() && result->errorIf()->cause == HttpErrorCause::cancelled) {
        messages.push_back(result->errorIf()->message);
      }
    }
    return messages;
  }
};

// Starts a transfer of `url` and waits for its body to begin.
std::shared_ptr<HttpTask> started(HttpClient& client, const std::string& url,
                                  HttpClient::Completion completion) {
  auto begun = std::make_shared<test::CountdownLatch>(1);
  auto request = get(url);
  request.onBodyStart = [begun](HttpResponse, std::shared_ptr<HttpBodyStream>) {
    begun->countDown();
  };
  auto task = client.dataTask(std::move(request), std::move(completion));
  EXPECT_TRUE(begun->wait()) << url;
  return task;
}

// A player that leaves a segment partway must not hold the origin's connections from the
// requests it makes next: a transfer nobody waits for gives its connection up as soon as one
// that someone waits for would otherwise queue behind it. (Dropping the task, the old way, left
// the next request queued until the stalled transfers' low-speed limit ended them, 20 s.)
TEST_F(HttpClientTest, AbandonedTransferGivesUpItsConnectionToARequestSomeoneWaitsFor) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxConnectionsPerHost = 2});
  TestHttpResponse stalled = TestHttpResponse::ok(std::string(200'000, 's'), "video/mp2t");
  stalled.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/left.ts", stalled);
  server.route("/next.ts", TestHttpResponse::ok("next", "video/mp2t"));

  Outcomes left;
  auto first = started(*client, server.url("/left.ts?1"), left.completion("first"));
  auto second = started(*client, server.url("/left.ts?2"), left.completion("second"));
  first->abandon();
  second->abandon();
  const auto next = fetch(*client, get(server.url("/next.ts")));
  ASSERT_TRUE(next && next->hasValue()) << "the waiting request queued behind abandoned ones";
  EXPECT_EQ(next->value().body.toString(), "next");
  ASSERT_TRUE(left.waitForEnded(1));
  const auto cancelled = left.cancellations();
  ASSERT_EQ(cancelled.size(), 1u) << "only as many as the waiting request needs";
  EXPECT_NE(cancelled[0].find("needs its connection"), std::string::npos) << cancelled[0];
  // The other ends before what its completion touches goes.
  first->cancel();
  second->cancel();
  EXPECT_TRUE(left.waitForEnded(2));
}

// Players leaving segment after segment on an HTTP/1.1 origin: however many transfers they left,
// requests someone waits for get the connections, those left without one ending first; while
// the left ones move, each turn looks only at the transfers it ends (every one of them before).
TEST_F(HttpClientTest, ManyLeftTransfersGiveTheirConnectionsUpLookingOnlyAtThoseEnded) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxConnectionsPerHost = 2});
  constexpr size_t kLeft = 40;
  TestHttpResponse trickling = TestHttpResponse::ok(std::string(20'000, 'l'), "video/mp2t");
  trickling.tricklePieceBytes = 200;
  trickling.trickleInterval = 50ms;  // 4 KB/s: above the rate asked of what nobody waits for
  server.route("/left.ts", trickling);
  server.route("/next.ts", TestHttpResponse::ok("next", "video/mp2t"));
  Outcomes left;
  std::atomic<size_t> arrived{0};
  test::Waiter progress;
  std::vector<std::shared_ptr<HttpTask>> tasks;
  for (size_t n = 0; n < kLeft; ++n) {
    auto request = get(server.url("/left.ts?" + std::to_string(n)));
    request.onBodyBytes = [&arrived, &progress](size_t bytes) {
      arrived += bytes;
      progress.notify();
    };
    tasks.push_back(client->dataTask(std::move(request), left.completion(std::to_string(n))));
    tasks.back()->abandon();
  }
  ASSERT_TRUE(progress.waitFor(test::scaledWait(10s), [&] { return arrived.load() >= 4000; }));
  Outcomes next;
  for (int n = 0; n < 4; ++n) {
    client->dataTask(get(server.url("/next.ts")), next.completion(std::to_string(n)));
  }
  ASSERT_TRUE(next.waitForEnded(4)) << "requests someone waits for queued behind left ones";
  ASSERT_TRUE(left.waitForEnded(kLeft));
  const auto work = client->engineWork();
  EXPECT_LE(work.transfersLookedAt, 2 * work.turns + kLeft);
  const auto cancelled = left.cancellations();
  EXPECT_EQ(cancelled.size(), kLeft);
  for (const auto& message : cancelled) {
    EXPECT_NE(message.find("needs its connection"), std::string::npos) << message;
  }
  std::lock_guard lock(next.waiter.mutex());
  for (const auto& [name, result] : next.results) {
    ASSERT_TRUE(result && result->hasValue()) << name;
    EXPECT_EQ(result->value().body.toString(), "next");
  }
}

// Abandoned transfers may end well for whoever keeps what they bring, but only while every body
// in flight, each counted at its declared length, fits the budget: those with most to come end
// first, and a transfer someone waits for is never ended for it.
TEST_F(HttpClientTest, AbandonedTransfersGoOnOnlyWithinTheBudgetOfBodiesInFlight) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxBodyBytesInFlight = 500'000});
  for (const auto& [path, size] : {std::pair{"/small.ts", 150'000}, {"/waited.ts", 400'000}}) {
    TestHttpResponse stalled = TestHttpResponse::ok(std::string(size, 'b'), "video/mp2t");
    stalled.mode = TestHttpResponse::Mode::stallAfterHead;
    server.route(path, stalled);
  }
  // The large ones stall after one byte of their body (their start): however little of the
  // small one's half has arrived when the abandons are handled (on a loaded machine, maybe none),
  // they have more to come.
  TestHttpResponse large = TestHttpResponse::ok("bb", "video/mp2t");
  large.declaredLength = 200'000;
  large.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/large.ts", large);
  Outcomes transfers;
  std::vector<std::shared_ptr<HttpTask>> tasks;
  for (const std::string name : {"large1", "large2", "small"}) {
    const std::string path = name == "small" ? "/small.ts" : "/large.ts?" + name;
    tasks.push_back(started(*client, server.url(path), transfers.completion(name)));
  }
  for (auto& task : tasks) task->abandon();
  // 550,000 bytes declared: one large transfer, one with the most to come, goes.
  ASSERT_TRUE(transfers.waitForEnded(1));
  ASSERT_EQ(transfers.cancellations().size(), 1u);
  EXPECT_NE(transfers.cancellations()[0].find("passed 500000 bytes"), std::string::npos);
  {
    std::lock_guard lock(transfers.waiter.mutex());
    EXPECT_FALSE(transfers.results["small"].has_value()) << "the one nearest its end stays";
  }
  // A body someone waits for takes what room there is, and more: the abandoned ones go.
  started(*client, server.url("/waited.ts"), transfers.completion("waited"));
  ASSERT_TRUE(transfers.waitForEnded(3));
  EXPECT_EQ(transfers.cancellations().size(), 3u);
  {
    std::lock_guard lock(transfers.waiter.mutex());
    EXPECT_FALSE(transfers.results["waited"].has_value()) << "a waited transfer was ended";
  }
  // Its half may still be on its way out: the origin breaks it off once it has gone.
  for (int tries = 0;
       tries < 50 && !transfers.waiter.waitFor(200ms, [&] { return transfers.ended() == 4; });
       ++tries) {
    server.closeStalled();
  }
  ASSERT_EQ(transfers.ended(), 4u);
  EXPECT_EQ(transfers.cancellations().size(), 3u);
}

// A body gate that refuses pauses the transfer, which keeps every byte and its connection, and
// is not taken for a silent one by the silence limit, until resumed. A body is asked for as
// its room grows with what arrives, whether or not its length is declared.
TEST_F(HttpClientTest, BodyGatePausesATransferUntilResumedAndLosesNoByte) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxSilence = 1s});
  std::string body = patternedBytes(2'000'000, 13, 509);
  server.route("/playlist.m3u8", TestHttpResponse::ok(body, "application/vnd.apple.mpegurl"));
  TestHttpResponse chunked = TestHttpResponse::ok(body.substr(0, 100'000), "text/plain");
  chunked.mode = TestHttpResponse::Mode::chunked;
  server.route("/chunked.m3u8", chunked);
  test::Waiter waiter;
  std::vector<size_t> asked;
  size_t taken = 0;
  std::function<void()> resume;
  auto request = get(server.url("/playlist.m3u8"));
  request.bodyGate = [&](size_t bytes, std::function<void()> resumeLater) {
    std::lock_guard lock(waiter.mutex());
    asked.push_back(bytes);
    if (asked.size() == 1) {
      resume = std::move(resumeLater);
      waiter.notify();
      return false;
    }
    taken += bytes;
    return true;
  };
  Outcomes outcome;
  client->dataTask(std::move(request), outcome.completion("playlist"));
  ASSERT_TRUE(waiter.waitFor(test::scaledWait(10s), [&] { return static_cast<bool>(resume); }));
  // Longer than the silence limit, during which nothing may move.
  EXPECT_FALSE(outcome.waiter.waitFor(1500ms, [&] { return outcome.ended() > 0; }))
      << "the paused transfer ended";
  std::function<void()> go;
  {
    std::lock_guard lock(waiter.mutex());
    EXPECT_EQ(asked.size(), 1u) << "asked for more while paused";
    go = std::move(resume);
  }
  go();
  ASSERT_TRUE(outcome.waitForEnded(1));
  {
    std::lock_guard lock(outcome.waiter.mutex());
    const auto& result = outcome.results["playlist"];
    ASSERT_TRUE(result && result->hasValue()) << result->error().message;
    EXPECT_TRUE(result->value().body.view() == body);
  }
  {
    std::lock_guard gate(waiter.mutex());
    // Its room follows what has arrived, twice over while it grows; never all it declared at
    // once.
    EXPECT_LT(asked[0], body.size());
    EXPECT_GE(taken, body.size());
    EXPECT_LE(taken, 2 * body.size());
  }

  auto unknown = get(server.url("/chunked.m3u8"));
  size_t pieces = 0;
  size_t admitted = 0;
  unknown.bodyGate = [&](size_t bytes, std::function<void()>) {
    ++pieces;
    admitted += bytes;
    return true;
  };
  const auto whole = fetch(*client, std::move(unknown));
  ASSERT_TRUE(whole && whole->hasValue());
  EXPECT_TRUE(whole->value().body.view() == body.substr(0, 100'000));
  // Without a declared length the body's room doubles as it grows, the old room held while the
  // bytes move over: counted by its bytes alone, a body took up to three times what the gate
  // was told.
  EXPECT_GE(admitted, 2 * 100'000u) << "the gate counted the bytes, not the room they took";
  EXPECT_LE(admitted, 5 * 100'000u);
  EXPECT_GT(pieces, 1u);
}

// An origin that declares a large body and trickles it holds the room of what it sent, not of
// what it declared (the gate was asked for all 48 MiB at the first piece), and a body slower than
// its minimum rate ends, though a slow body without one is left alone.
TEST_F(HttpClientTest, TricklingBodyTakesRoomAsItArrivesAndEndsBelowItsMinimumRate) {
  TestHttpResponse trickling =
      TestHttpResponse::ok(std::string(200'000, 't'), "application/vnd.apple.mpegurl");
  trickling.declaredLength = 48u << 20;
  trickling.tricklePieceBytes = 1024;
  trickling.trickleInterval = 100ms;  // about 10 KiB/s
  server.route("/trickle.m3u8", trickling);
  auto request = get(server.url("/trickle.m3u8"));
  request.minBytesPerSecond = 16 * 1024;
  request.minRateWindow = 1s;
  std::atomic<size_t> asked{0};
  request.bodyGate = [&asked](size_t bytes, std::function<void()>) {
    asked += bytes;
    return true;
  };
  const auto result = fetch(*client, std::move(request));
  ASSERT_TRUE(result) << "a body below its minimum rate went on";
  ASSERT_FALSE(result->hasValue());
  EXPECT_EQ(result->error().cause, HttpErrorCause::timedOut);
  EXPECT_NE(result->error().message.find("slower than 16384 bytes/s over 1 s"), std::string::npos)
      << result->error().message;
  EXPECT_LE(asked.load(), 256u * 1024) << "the gate was asked for what the origin declared";

  // Whoever holds room for a body follows its progress piece by piece: no rate of its own is
  // kept any more for a body the gate applies to (a playlist fetch is ended only while another
  // waits for the room it holds).
  server.route("/whole.php", TestHttpResponse::ok(std::string(300'000, 'w')));
  auto followed = get(server.url("/whole.php"));
  std::atomic<size_t> moved{0};
  followed.bodyGate = [](size_t, std::function<void()>) { return true; };
  followed.bodyGateApplies = [](const HttpResponse&, std::string_view) { return true; };
  followed.onBodyBytes = [&moved](size_t bytes) { moved += bytes; };
  const auto whole = fetch(*client, std::move(followed));
  ASSERT_TRUE(whole && whole->hasValue());
  EXPECT_EQ(moved.load(), 300'000u);
}

// A player that reads nothing paces its own transfer: the body runs a bounded way ahead of its
// reader, then waits for it, and loses no byte (before, the whole body came in unread). Bodies in
// flight past the client's budget pause too, over kept-alive connections, and the oldest takes
// the room kept back, so each still completes whole.
TEST_F(HttpClientTest, BodiesPauseForTheirReaderAndAtTheBudgetAndLoseNoByte) {
  std::string body = patternedBytes(12'000'000, 11, 4093);
  server.route("/unread.ts", TestHttpResponse::ok(body, "video/mp2t"));
  test::CountdownLatch begun(1);
  std::shared_ptr<HttpBodyStream> stream;
  Outcomes unread;
  client->dataTask(keepingStream(get(server.url("/unread.ts")), stream, begun),
                   unread.completion("unread"));
  ASSERT_TRUE(begun.wait());
  EXPECT_FALSE(unread.waiter.waitFor(1s, [&] { return unread.ended() > 0; }))
      << "the whole body came in though its reader took nothing";
  EXPECT_LE(stream->unreadBytes(), HttpBodyStream::kMaxUnreadBytes + 512 * 1024);
  test::StreamedBody reader(stream);
  ASSERT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body);
  ASSERT_TRUE(unread.waitForEnded(1));

  client = HttpClient::create({.delegateQueue = nullptr, .maxBodyBytesInFlight = 2'000'000});
  std::vector<std::string> paths{"/a.ts", "/b.ts", "/c.ts"};
  for (const auto& path : paths) {
    TestHttpResponse kept = TestHttpResponse::ok(body.substr(path.size() * 1000, 3'000'000));
    kept.keepAlive = true;
    server.route(path, kept);
  }
  Outcomes budgeted;
  for (const auto& path : paths) client->dataTask(get(server.url(path)), budgeted.completion(path));
  ASSERT_TRUE(budgeted.waitForEnded(paths.size())) << "bodies paused at the budget never went on";
  for (const auto& path : paths) {
    std::lock_guard lock(budgeted.waiter.mutex());
    const auto& result = budgeted.results[path];
    ASSERT_TRUE(result && result->hasValue()) << path;
    EXPECT_TRUE(result->value().body.view() == body.substr(path.size() * 1000, 3'000'000)) << path;
  }
  // The others share what the oldest's room leaves: 1,000,000 bytes, and a piece each.
  EXPECT_LE(client->peakBodyBytesInFlight(), 1'000'000u + 3'000'000u + 3 * 128 * 1024)
      << "every body came in at once, whatever the budget";
}

// Players reading bodies larger than the whole budget: a steady reader and one that reads part,
// pauses, then reads on. Every byte already read stayed counted, so each stalled for good once
// its body filled the budget. Short of room, a body stops being kept for the store instead: each
// player still gets every byte, its completion comes without a body, and the bodies count only
// what their players have not read.
TEST_F(HttpClientTest, PlayersGetWholeBodiesLargerThanTheBudgetWhichAreThenNotKept) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxBodyBytesInFlight = 3'000'000});
  std::string body = patternedBytes(12'000'000, 13, 509);
  server.route("/steady.ts", TestHttpResponse::ok(body, "video/mp2t"));
  server.route("/burst.ts", TestHttpResponse::ok(body, "video/mp2t"));
  Outcomes outcomes;
  std::map<std::string, std::shared_ptr<HttpBodyStream>> streams;
  test::CountdownLatch begun(2);
  for (const std::string path : {"/steady.ts", "/burst.ts"}) {
    auto request = get(server.url(path));
    request.onBodyStart = [&, path](HttpResponse, std::shared_ptr<HttpBodyStream> stream) {
      {
        std::lock_guard lock(outcomes.waiter.mutex());
        streams[path] = std::move(stream);
      }
      begun.countDown();
    };
    client->dataTask(std::move(request), outcomes.completion(path));
  }
  ASSERT_TRUE(begun.wait());
  const auto bound = std::chrono::milliseconds(static_cast<int>(5000 * test::kSanitizerSlowdown));
  auto burst = std::async(std::launch::async, [&] {
    test::StreamedBody reader(streams["/burst.ts"]);
    if (reader.readAtLeast(4'000'000, bound) != test::StreamedBody::Outcome::partway) return false;
    std::this_thread::sleep_for(1500ms);
    return reader.readAll(bound) == test::StreamedBody::Outcome::whole && reader.received() == body;
  });
  test::StreamedBody steady(streams["/steady.ts"]);
  EXPECT_EQ(steady.readAll(bound), test::StreamedBody::Outcome::whole)
      << "the steady reader waited for room";
  EXPECT_TRUE(steady.received() == body);
  EXPECT_TRUE(burst.get()) << "the reader that paused lost bytes or waited for room";
  ASSERT_TRUE(outcomes.waitForEnded(2));
  for (const std::string path : {"/steady.ts", "/burst.ts"}) {
    std::lock_guard lock(outcomes.waiter.mutex());
    const auto& result = outcomes.results[path];
    ASSERT_TRUE(result && result->hasValue()) << path;
    EXPECT_TRUE(result->value().body.empty()) << "a body not kept whole came as if it were";
    // What the application reads of origin bytes counts it all the same.
    EXPECT_EQ(result->value().bodyBytesReceived, body.size()) << path;
  }
  // What was read went back; past the budget a body runs a piece ahead of its player.
  EXPECT_LE(client->peakBodyBytesInFlight(), 3'000'000u + 2 * 256 * 1024);
}

// Once a streamed body's transfer had ended, what its player had not read yet left the budget of
// bodies in flight: players that read nothing of one segment after another each held up to
// HttpBodyStream::kMaxUnreadBytes beside their connections, counted nowhere. The unread end stays
// counted until it is read, and while another body waits for room, one whose player took nothing
// for kMaxIdleReaderTime is let go: that player's next read fails (its connection is reset).
TEST_F(HttpClientTest, UnreadEndsOfEndedBodiesCountUntilReadAndIdleOnesGiveWayToABodyThatWaits) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxBodyBytesInFlight = 4'000'000});
  const std::string segment = patternedBytes(1'500'000, 19, 683);
  const std::string large = patternedBytes(1'600'000, 23, 701);
  server.route("/segment.ts", TestHttpResponse::ok(segment, "video/mp2t"));
  server.route("/large.ts", TestHttpResponse::ok(large, "video/mp2t"));
  // An older body someone waits for, stalled halfway: it takes its room first, and the others
  // share the half of the budget it leaves.
  TestHttpResponse stalled = TestHttpResponse::ok(patternedBytes(400'000, 29, 409));
  stalled.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/older.ts", stalled);
  Outcomes outcomes;
  client->dataTask(get(server.url("/older.ts")), outcomes.completion("older"));
  const auto beganBy = std::chrono::steady_clock::now() + test::scaledWait(10s);
  while (client->peakBodyBytesInFlight() < 200'000 && std::chrono::steady_clock::now() < beganBy) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(client->peakBodyBytesInFlight(), 200'000u) << "the older body never began";
  std::map<std::string, std::shared_ptr<HttpBodyStream>> streams;
  // Once seen: the idle end has been idle at least since then.
  std::chrono::steady_clock::time_point idleEnded;
  for (const std::string name : {"idle", "reading"}) {
    test::CountdownLatch begun(1);
    client->dataTask(keepingStream(get(server.url("/segment.ts?" + name)), streams[name], begun),
                     outcomes.completion(name));
    ASSERT_TRUE(begun.wait());
    ASSERT_TRUE(outcomes.waiter.waitFor(test::scaledWait(10s), [&] {
      return outcomes.results[name].has_value();
    })) << name;
    if (name == "idle") idleEnded = std::chrono::steady_clock::now();
  }
  EXPECT_GE(client->peakBodyBytesInFlight(), 2 * segment.size() + 200'000)
      << "the unread ends of ended bodies were counted nowhere";

  // Past what the shared half has left beside the idle end: it waits for room.
  client->dataTask(get(server.url("/large.ts")), outcomes.completion("large"));
  test::StreamedBody reading(streams["reading"]);
  ASSERT_EQ(reading.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reading.received() == segment) << "the unread end came apart";
  const auto bound = HttpClient::kMaxIdleReaderTime + test::scaledWait(10s);
  ASSERT_TRUE(outcomes.waiter.waitFor(bound, [&] { return outcomes.results["large"].has_value(); }))
      << "an unread end nobody takes kept a body that waits for room waiting";
  EXPECT_GE(std::chrono::steady_clock::now() - idleEnded, HttpClient::kMaxIdleReaderTime - 1s)
      << "the end read was not given back, or an end was let go before its reader was idle";
  {
    std::lock_guard lock(outcomes.waiter.mutex());
    const auto& result = outcomes.results["large"];
    ASSERT_TRUE(result && result->hasValue());
    EXPECT_TRUE(result->value().body.view() == large);
    for (const std::string name : {"idle", "reading"}) {
      ASSERT_TRUE(outcomes.results[name] && outcomes.results[name]->hasValue()) << name;
      EXPECT_TRUE(outcomes.results[name]->value().body.view() == segment) << name;
    }
  }
  test::StreamedBody idle(streams["idle"]);
  EXPECT_EQ(idle.readAll(), test::StreamedBody::Outcome::failed)
      << "the idle player's end was let go, yet its player reads on as if whole";
  // The older body breaks off: every completion comes before `outcomes` goes.
  server.closeStalled();
  EXPECT_TRUE(outcomes.waitForEnded(4));
}

// Players that read nothing hold the origin's connections: a request someone waits for queued
// behind them until the silence limit ended them (here a minute). The one idle longest gives
// its connection up once its reader took nothing for kMaxIdleReaderTime, and only as many as
// wait: the other goes on whole.
TEST_F(HttpClientTest, IdleReaderGivesItsConnectionUpToARequestSomeoneWaitsFor) {
  client =
      HttpClient::create({.delegateQueue = nullptr, .maxSilence = 60s, .maxConnectionsPerHost = 2});
  std::string body = patternedBytes(6'000'000, 17, 811);
  server.route("/idle.ts", TestHttpResponse::ok(body, "video/mp2t"));
  server.route("/live.m3u8", TestHttpResponse::ok("#EXTM3U\n", "application/vnd.apple.mpegurl"));
  Outcomes outcomes;
  std::vector<std::shared_ptr<HttpBodyStream>> streams;
  for (const std::string name : {"first", "second"}) {
    test::CountdownLatch begun(1);
    auto request = get(server.url("/idle.ts?" + name));
    request.onBodyStart = [&](HttpResponse, std::shared_ptr<HttpBodyStream> stream) {
      streams.push_back(std::move(stream));
      begun.countDown();
    };
    client->dataTask(std::move(request), outcomes.completion(name));
    ASSERT_TRUE(begun.wait());
    std::this_thread::sleep_for(200ms);  // the first is idle the longer
  }
  const auto asked = std::chrono::steady_clock::now();
  client->dataTask(get(server.url("/live.m3u8")), outcomes.completion("live"));
  const auto bound = HttpClient::kMaxIdleReaderTime +
                     std::chrono::milliseconds(static_cast<int>(10'000 * test::kSanitizerSlowdown));
  ASSERT_TRUE(outcomes.waiter.waitFor(bound, [&] { return outcomes.ended() >= 2; }))
      << "the request someone waits for queued behind players that read nothing";
  EXPECT_LT(std::chrono::steady_clock::now() - asked, bound);
  {
    std::lock_guard lock(outcomes.waiter.mutex());
    ASSERT_TRUE(outcomes.results["live"] && outcomes.results["live"]->hasValue());
    EXPECT_EQ(outcomes.results["live"]->value().body.toString(), "#EXTM3U\n");
    const auto& first = outcomes.results["first"];
    ASSERT_TRUE(first && first->errorIf());
    EXPECT_NE(first->errorIf()->message.find("needed its connection"), std::string::npos)
        << first->errorIf()->message;
    EXPECT_FALSE(outcomes.results["second"].has_value()) << "more gave way than were waited for";
  }
  test::StreamedBody reader(streams[1]);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body);
  // Its completion comes before what it touches goes.
  EXPECT_TRUE(outcomes.waitForEnded(3));
}

// Bodies paused at their gate held every connection to their origin while a request someone
// waits for (for which the gate may keep its room) queued for one until the request timeout.
// They now give their connections up, keep the room their gate let them have, and go on from
// the start once their gate lets them: each still completes whole.
TEST_F(HttpClientTest, BodiesWaitingAtTheirGateGiveTheirConnectionsUpAndStillCompleteWhole) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxConnectionsPerHost = 2});
  std::string body(1'000'000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 97) % 26);
  server.route("/gated.m3u8", TestHttpResponse::ok(body, "application/vnd.apple.mpegurl"));
  server.route("/next.m3u8", TestHttpResponse::ok("#EXTM3U\n", "application/vnd.apple.mpegurl"));
  test::Waiter gates;
  bool open = false;
  std::vector<std::function<void()>> waiting;
  Outcomes outcomes;
  for (const std::string name : {"first", "second"}) {
    auto request = get(server.url("/gated.m3u8?" + name));
    request.bodyGate = [&, admitted = size_t{0}](size_t bytes,
                                                 std::function<void()> resume) mutable {
      std::lock_guard lock(gates.mutex());
      if (!open && admitted + bytes > 300'000) {
        waiting.push_back(std::move(resume));
        gates.notify();
        return false;
      }
      admitted += bytes;
      return true;
    };
    client->dataTask(std::move(request), outcomes.completion(name));
  }
  ASSERT_TRUE(gates.waitFor(10s, [&] { return waiting.size() == 2; }));
  const auto next = fetch(*client, get(server.url("/next.m3u8")));
  ASSERT_TRUE(next && next->hasValue()) << "the request queued behind bodies waiting at the gate";
  EXPECT_EQ(next->value().body.toString(), "#EXTM3U\n");
  std::vector<std::function<void()>> resumes;
  {
    std::lock_guard lock(gates.mutex());
    open = true;
    resumes.swap(waiting);
  }
  for (auto& resume : resumes) resume();
  ASSERT_TRUE(outcomes.waitForEnded(2));
  for (const std::string name : {"first", "second"}) {
    std::lock_guard lock(outcomes.waiter.mutex());
    const auto& result = outcomes.results[name];
    ASSERT_TRUE(result && result->hasValue()) << name;
    EXPECT_TRUE(result->value().body.view() == body) << name;
  }
}

// Trickling bodies, most of them waiting for one of the origin's eight connections: every turn
// of the client's loop used to look at every transfer several times over (which waits for a
// connection, which is paused for room, which takes room first), so its cost grew with the
// number of transfers times the events. Each turn now looks only at those a rule acts on.
TEST_F(HttpClientTest, EngineLooksAtAFewTransfersPerTurnHoweverManyAreActive) {
  TestHttpResponse trickling = TestHttpResponse::ok(std::string(500, 't'));
  trickling.tricklePieceBytes = 100;
  trickling.trickleInterval = 20ms;
  trickling.keepAlive = true;
  server.route("/piece.ts", trickling);
  for (const size_t count : {10u, 100u}) {
    client = HttpClient::create();
    Outcomes outcomes;
    for (size_t n = 0; n < count; ++n) {
      client->dataTask(get(server.url("/piece.ts")), outcomes.completion(std::to_string(n)));
    }
    ASSERT_TRUE(outcomes.waitForEnded(count)) << count;
    const auto work = client->engineWork();
    ASSERT_GT(work.turns, count) << "each piece of each body is an event";
    EXPECT_LE(work.transfersLookedAt, 2 * work.turns)
        << count << " transfers: each turn looked at transfers no rule acted on";
    std::lock_guard lock(outcomes.waiter.mutex());
    for (const auto& [name, result] : outcomes.results) {
      ASSERT_TRUE(result && result->hasValue() && result->value().body.size() == 500) << name;
    }
  }
}

// The client keeps a record of each origin a transfer counts against, moved along as a redirect
// leads a transfer to another: none may stay behind once its transfers are done, or a viewer
// fetching from ever new ports would keep one for each.
TEST_F(HttpClientTest, EngineKeepsARecordOfAnOriginOnlyWhileATransferCountsAgainstIt) {
  constexpr size_t kOrigins = 20;
  std::vector<std::unique_ptr<TestHttpServer>> origins;
  for (size_t n = 0; n < kOrigins; ++n) origins.push_back(std::make_unique<TestHttpServer>());
  Outcomes outcomes;
  for (size_t n = 0; n < kOrigins; ++n) {
    origins[n]->route("/seg.ts", TestHttpResponse::ok(std::to_string(n), "video/mp2t"));
    const auto& next = *origins[(n + 1) % kOrigins];
    origins[n]->route("/moved.ts", TestHttpResponse::redirect(next.url("/seg.ts")));
    client->dataTask(get(origins[n]->url("/moved.ts")), outcomes.completion(std::to_string(n)));
  }
  ASSERT_TRUE(outcomes.waitForEnded(kOrigins));
  EXPECT_EQ(client->engineWork().hostsKept, 0u);
  std::lock_guard lock(outcomes.waiter.mutex());
  for (size_t n = 0; n < kOrigins; ++n) {
    const auto& result = outcomes.results[std::to_string(n)];
    ASSERT_TRUE(result && result->hasValue()) << n;
    EXPECT_EQ(result->value().body.view(), std::to_string((n + 1) % kOrigins));
  }
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

// A short silence limit for the tests below, wider under a sanitizer, where the engine's thread
// may itself wait a while for a core.
const std::chrono::milliseconds kShortSilence = test::kSanitizerSlowdown > 1
                                                    ? std::chrono::milliseconds(3000)
                                                    : std::chrono::milliseconds(1000);

// As the platform's shared session: a transfer ends after a silence, however long it has run,
// and not for being slow. Time paused for its reader is no silence of the origin's: a player
// that stops reading for longer than the limit gets its body whole (before, the paused time
// counted against the origin's rate and the body was cut).
TEST_F(HttpClientTest, OnlySilenceEndsATransferNotSlownessNorAPauseForItsReader) {
  client = HttpClient::create({.delegateQueue = nullptr, .maxSilence = kShortSilence});
  TestHttpResponse slow = TestHttpResponse::ok(std::string(1000, 's'), "video/mp2t");
  slow.tricklePieceBytes = 100;
  slow.trickleInterval = kShortSilence / 4;  // well below any minimum rate, never silent
  server.route("/slow.ts", slow);
  std::string body = patternedBytes(6'000'000, 5, 1021);
  server.route("/paused.ts", TestHttpResponse::ok(body, "video/mp2t"));
  TestHttpResponse silent = TestHttpResponse::ok(body, "video/mp2t");
  silent.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/silent.ts", silent);

  Outcomes outcomes;
  client->dataTask(get(server.url("/slow.ts")), outcomes.completion("slow"));
  test::CountdownLatch begun(1);
  std::shared_ptr<HttpBodyStream> stream;
  client->dataTask(keepingStream(get(server.url("/paused.ts")), stream, begun),
                   outcomes.completion("paused"));
  ASSERT_TRUE(begun.wait());
  // The player reads nothing for three silence limits.
  EXPECT_FALSE(outcomes.waiter.waitFor(3 * kShortSilence, [&] { return outcomes.ended() > 1; }))
      << "a transfer paused for its reader ended";
  test::StreamedBody reader(stream);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body) << reader.received().size() << " bytes";

  const auto asked = std::chrono::steady_clock::now();
  auto quiet = fetch(*client, get(server.url("/silent.ts")));
  ASSERT_TRUE(quiet && !quiet->hasValue()) << "a silent origin held its transfer";
  EXPECT_EQ(quiet->error().cause, HttpErrorCause::timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, kShortSilence);

  ASSERT_TRUE(outcomes.waiter.waitFor(10s * static_cast<int>(test::kSanitizerSlowdown),
                                      [&] { return outcomes.ended() == 2; }));
  std::lock_guard lock(outcomes.waiter.mutex());
  for (const auto& [name, result] : outcomes.results) {
    ASSERT_TRUE(result && result->hasValue()) << name << ": " << result->error().message;
  }
  EXPECT_EQ(outcomes.results["slow"]->value().body.view(), std::string(1000, 's'));
  EXPECT_TRUE(outcomes.results["paused"]->value().body.view() == body);
}

// The client's thread sleeps until a socket, a timer or another thread needs it: neither a
// body paused for its reader nor a connection kept for the next request may keep it turning.
TEST_F(HttpClientTest, EngineSleepsWhileItsTransfersWaitAndWhileItsConnectionsIdle) {
  std::string body = patternedBytes(6'000'000, 5, 1021);
  server.route("/paused.ts", TestHttpResponse::ok(body, "video/mp2t"));
  server.route("/small.ts", TestHttpResponse::ok(std::string(1000, 's'), "video/mp2t"));
  // A few turns a second for the checks of time, and slack for a loaded machine; a thread that
  // spins makes tens of thousands.
  constexpr uint64_t kMaxTurnsPerIdleSecond = 100;
  const auto turnsOver = [&](std::chrono::milliseconds span) {
    const auto before = client->engineWork().turns;
    std::this_thread::sleep_for(span);
    return client->engineWork().turns - before;
  };

  ASSERT_TRUE(fetch(*client, get(server.url("/small.ts"))));
  EXPECT_LE(turnsOver(1s), kMaxTurnsPerIdleSecond) << "with a connection kept idle";

  Outcomes outcomes;
  test::CountdownLatch begun(1);
  std::shared_ptr<HttpBodyStream> stream;
  client->dataTask(keepingStream(get(server.url("/paused.ts")), stream, begun),
                   outcomes.completion("paused"));
  ASSERT_TRUE(begun.wait());
  std::this_thread::sleep_for(200ms);  // its look-ahead fills, and it pauses for its reader
  EXPECT_LE(turnsOver(1s), kMaxTurnsPerIdleSecond) << "with a body paused for its reader";
  test::StreamedBody reader(stream);
  EXPECT_EQ(reader.readAll(), test::StreamedBody::Outcome::whole);
  EXPECT_TRUE(reader.received() == body) << reader.received().size() << " bytes";

  // Transfers given up halfway: one cancelled, one left to the store.
  TestHttpResponse trickle = TestHttpResponse::ok(std::string(100'000, 't'), "video/mp2t");
  trickle.tricklePieceBytes = 1000;
  trickle.trickleInterval = 20ms;
  server.route("/trickle.ts", trickle);
  auto cancelled = client->dataTask(get(server.url("/trickle.ts")), outcomes.completion("c"));
  auto left = client->dataTask(get(server.url("/trickle.ts")), outcomes.completion("l"));
  std::this_thread::sleep_for(200ms);
  cancelled->cancel();
  left->abandon();
  ASSERT_TRUE(outcomes.waiter.waitFor(10s * static_cast<int>(test::kSanitizerSlowdown),
                                      [&] { return outcomes.ended() == 3; }));
  EXPECT_LE(turnsOver(1s), kMaxTurnsPerIdleSecond) << "after transfers were cancelled";
}

// The checks of time run a few times a second rather than on every turn of the client's loop:
// they must still run while pieces of other bodies keep that loop turning without a pause.
TEST_F(HttpClientTest, SilenceEndsATransferWhileOtherBodiesKeepTheClientBusy) {
  client = HttpClient::create(
      {.delegateQueue = nullptr, .maxSilence = kShortSilence, .maxConnectionsPerHost = 20});
  const auto busyFor = 3 * kShortSilence;
  TestHttpResponse busy;
  busy.tricklePieceBytes = 10;
  busy.trickleInterval = 5ms;
  busy.body = std::string(10 * static_cast<size_t>(busyFor / busy.trickleInterval), 'b');
  server.route("/busy.ts", busy);
  TestHttpResponse silent = TestHttpResponse::ok(std::string(100'000, 's'), "video/mp2t");
  silent.mode = TestHttpResponse::Mode::stallAfterHead;
  server.route("/silent.ts", silent);
  Outcomes outcomes;
  for (int n = 0; n < 10; ++n) {
    client->dataTask(get(server.url("/busy.ts")), outcomes.completion("busy" + std::to_string(n)));
  }
  client->dataTask(get(server.url("/silent.ts")), outcomes.completion("silent"));
  ASSERT_TRUE(outcomes.waiter.waitFor(test::scaledWait(10s), [&] {
    return outcomes.results["silent"].has_value();
  })) << "the silent origin held its transfer";
  {
    std::lock_guard lock(outcomes.waiter.mutex());
    EXPECT_EQ(outcomes.ended(), 1u) << "the busy bodies ended first: the client was not busy";
    const auto& silentResult = outcomes.results["silent"];
    EXPECT_TRUE(!silentResult->hasValue() &&
                silentResult->error().cause == HttpErrorCause::timedOut);
  }
  // The busy ones end as cancelled, before what they complete into goes.
  client.reset();
  EXPECT_TRUE(outcomes.waitForEnded(11));
}

// Left by its player, a body is an extra kept for the store only while it moves: one that
// trickles below the rate of those nobody waits for is let go, where the same body someone waits
// for is left alone (see above). Before, only the whole-request limit ended it, after 120 s.
TEST_F(HttpClientTest, AbandonedBodyThatTricklesIsLetGo) {
  client = HttpClient::create({.delegateQueue = nullptr, .abandonedRateWindow = 1s});
  TestHttpResponse trickling = TestHttpResponse::ok(std::string(100'000, 't'), "video/mp2t");
  trickling.tricklePieceBytes = 100;
  trickling.trickleInterval = 250ms;
  server.route("/left.ts", trickling);
  Outcomes outcome;
  auto task = started(*client, server.url("/left.ts"), outcome.completion("left"));
  task->abandon();
  ASSERT_TRUE(outcome.waiter.waitFor(10s * static_cast<int>(test::kSanitizerSlowdown), [&] {
    return outcome.ended() == 1;
  })) << "an abandoned body that trickles went on";
  std::lock_guard lock(outcome.waiter.mutex());
  const auto& result = outcome.results["left"];
  ASSERT_TRUE(result && !result->hasValue());
  EXPECT_NE(result->error().message.find("slower than 1024 bytes/s over 1 s"), std::string::npos)
      << result->error().message;
}

// A streamed body whose connection breaks off after its head went on goes on with a Range from
// the byte reached, and its reader gets it whole (before: a short body, then a failure). Only the
// rest of the same body is taken: a 206 of the same length and validators from that byte; an
// answer that is not one ends the reader with a failure rather than mixing two bodies.
TEST_F(HttpClientTest, StreamedBodyThatBreaksOffGoesOnFromTheByteReachedOrFails) {
  std::string body = patternedBytes(400'000, 3, 977);
  // The first answer breaks off halfway; a Range request is answered as `rest` says.
  const auto breakingThen = [&](std::function<TestHttpResponse()> rest) {
    return [&body, rest](const test::TestHttpRequest& request) {
      if (request.header("range")) return rest();
      TestHttpResponse first = TestHttpResponse::ok(body, "video/mp2t");
      first.headers.emplace_back("ETag", "\"v1\"");
      first.mode = TestHttpResponse::Mode::stallAfterHead;
      return first;
    };
  };
  const auto ranged = [&body](const std::string& etag) {
    TestHttpResponse rest = TestHttpResponse::ok(body, "video/mp2t");
    rest.headers.emplace_back("ETag", etag);
    rest.honourRange = true;
    return rest;
  };
  server.route("/same.ts", breakingThen([&] { return ranged("\"v1\""); }));
  server.route("/changed.ts", breakingThen([&] { return ranged("\"v2\""); }));
  server.route("/whole-again.ts", breakingThen([&] {
                 TestHttpResponse again = TestHttpResponse::ok(body, "video/mp2t");
                 again.headers.emplace_back("ETag", "\"v1\"");
                 return again;
               }));

  for (const std::string path : {"/same.ts", "/changed.ts", "/whole-again.ts"}) {
    test::CountdownLatch begun(1);
    std::shared_ptr<HttpBodyStream> stream;
    Outcomes outcome;
    client->dataTask(keepingStream(get(server.url(path)), stream, begun), outcome.completion(path));
    ASSERT_TRUE(begun.wait()) << path;
    test::StreamedBody reader(stream);
    ASSERT_EQ(reader.readAtLeast(body.size() / 2), test::StreamedBody::Outcome::partway) << path;
    server.closeStalled();
    const auto end = reader.readAll();
    ASSERT_TRUE(outcome.waitForEnded(1)) << path;
    std::lock_guard lock(outcome.waiter.mutex());
    const auto& result = outcome.results[path];
    if (path == "/same.ts") {
      EXPECT_EQ(end, test::StreamedBody::Outcome::whole);
      EXPECT_TRUE(reader.received() == body) << reader.received().size() << " bytes";
      ASSERT_TRUE(result && result->hasValue()) << result->error().message;
      EXPECT_EQ(result->value().statusCode, 200) << "the answer the reader was given";
      EXPECT_TRUE(result->value().body.view() == body);
      EXPECT_EQ(server.requests().back().header("range"),
                "bytes=" + std::to_string(body.size() / 2) + "-");
    } else {
      EXPECT_EQ(end, test::StreamedBody::Outcome::failed) << path;
      EXPECT_TRUE(reader.received() == body.substr(0, body.size() / 2)) << path;
      ASSERT_TRUE(result && !result->hasValue()) << path;
    }
  }
}

}  // namespace
}  // namespace ombrelia::platform
