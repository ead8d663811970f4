#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include "platform/HttpClient.hpp"
#include "platform/HttpTask.hpp"
#include "support/CountdownLatch.hpp"
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
  if (future.wait_for(10s) != std::future_status::ready)
    return std::nullopt;
  return future.get();
}

class HttpClientTest : public ::testing::Test {
 protected:
  TestHttpServer server;
  std::shared_ptr<HttpClient> client = HttpClient::create();
};

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
      if (result.errorIf() && result.errorIf()->cause == HttpErrorCause::cancelled)
        ++cancelled;
      completed.countDown();
    });
  }
  client.reset();
  ASSERT_TRUE(completed.wait());
  EXPECT_EQ(cancelled.load(), 2);
}

}  // namespace
}  // namespace ombrelia::platform
