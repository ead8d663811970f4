#include "webserver/core/WebServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/ListeningSockets.hpp"
#include "support/LoopbackClient.hpp"
#include "support/OpenDescriptors.hpp"
#include "support/RawHttpResponse.hpp"
#include "support/WaitScale.hpp"
#include "support/Waiter.hpp"
#include "webserver/core/WebServerConnection.hpp"
#include "webserver/core/WebServerRequestHeadParser.hpp"
#include "webserver/requests/WebServerDataRequest.hpp"
#include "webserver/requests/WebServerMultiPartFormRequest.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"
#include "webserver/responses/WebServerStreamedResponse.hpp"

using namespace ombrelia;
using namespace std::chrono_literals;
using ombrelia::test::LoopbackClient;
using ombrelia::test::openDescriptorCount;
using ombrelia::test::RawHttpResponse;

namespace {

std::shared_ptr<WebServerResponse> text(std::string body) {
  return WebServerDataResponse::responseWithData(Data(std::move(body)), "text/plain");
}

WebServerOptions localOptions() {
  WebServerOptions options;
  options.port = 0;
  options.bindToLocalhost = true;
  return options;
}

// A started server whose one handler answers every GET.
template <typename Handler>
std::shared_ptr<WebServer> serving(Handler handler, WebServerOptions options = localOptions()) {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod("GET", WebServerRequestClass<WebServerRequest>(),
                                     std::move(handler));
  EXPECT_TRUE(server->startWithOptions(std::move(options)));
  return server;
}

// Sends one request on a new connection and returns everything the server wrote before closing.
std::string exchange(uint16_t port, std::string_view request, bool ipv6 = false) {
  auto client = LoopbackClient::connect(port, ipv6);
  if (!client)
    return "(connect failed)";
  client->send(request);
  return client->readAll();
}

RawHttpResponse get(uint16_t port, std::string_view request) {
  const std::string raw = exchange(port, request);
  auto parsed = RawHttpResponse::parse(raw);
  EXPECT_TRUE(parsed.has_value()) << raw;
  return parsed.value_or(RawHttpResponse{});
}

// Waits until the count of open descriptors is back at most at `expected`.
bool descriptorsReturnTo(size_t expected, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (openDescriptorCount() <= expected)
      return true;
    std::this_thread::sleep_for(5ms); // polling a count the kernel keeps; no event exists
  }
  return openDescriptorCount() <= expected;
}

class Delegate : public WebServerDelegate {
public:
  void webServerDidConnect(WebServer &) override { bump(connects); }
  void webServerDidDisconnect(WebServer &) override { bump(disconnects); }
  bool waitForDisconnects(int count, std::chrono::milliseconds timeout = test::scaledWait(5s)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return disconnects >= count; });
  }
  int connectCount() {
    std::lock_guard lock(mutex);
    return connects;
  }
  int disconnectCount() {
    std::lock_guard lock(mutex);
    return disconnects;
  }

private:
  void bump(int &counter) {
    std::lock_guard lock(mutex);
    ++counter;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  int connects = 0;
  int disconnects = 0;
};

} // namespace

TEST(WebServerResponses, WritesTheExactHeadOfADataResponse) {
  auto server = WebServer::create();
  server->addHandlerForMethodPathRegex(
      "GET", "^/segment", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &) {
        return WebServerDataResponse::responseWithData(Data(std::string(1000, 'x')), "Video/MP2T");
      });
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  const std::string raw =
      exchange(server->port(), "GET /segment HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const auto response = RawHttpResponse::parse(raw);
  ASSERT_TRUE(response) << raw;
  EXPECT_EQ(response->statusLine, "HTTP/1.1 200 OK");
  auto headers = response->headers;
  ASSERT_EQ(headers.size(), 6u) << raw;
  EXPECT_TRUE(WebServerParseRFC822(headers[2].second).has_value()) << headers[2].second;
  headers[2].second = "(date)";
  EXPECT_EQ(headers, (decltype(headers){{"Connection", "Close"},
                                        {"Server", "WebServer"},
                                        {"Date", "(date)"},
                                        {"Cache-Control", "no-cache"},
                                        {"Content-Type", "video/mp2t"},
                                        {"Content-Length", "1000"}}));
  EXPECT_EQ(response->body, std::string(1000, 'x'));
}

TEST(WebServerResponses, AnswersHeadWithHeadersAndNoBody) {
  auto server = serving(
      [](const std::shared_ptr<WebServerRequest> &request) { return text(request->method()); });
  const std::string raw = exchange(server->port(), "HEAD /x HTTP/1.1\r\n\r\n");
  const auto response = RawHttpResponse::parse(raw);
  ASSERT_TRUE(response) << raw;
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->header("Content-Length"), "3");
  EXPECT_EQ(response->body, "");
}

TEST(WebServerResponses, SendsStreamedBodiesChunked) {
  auto server = WebServer::create();
  server->addHandlerForMethodPath(
      "GET", "/stream", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &) {
        auto count = std::make_shared<int>(0);
        return WebServerStreamedResponse::responseWithContentTypeAsync(
            "text/plain", [count](WebServerReadCompletion completion) {
              // Completes later from another thread, as an asynchronous source would.
              std::thread([count, completion = std::move(completion)] {
                completion(++*count <= 3 ? WebServerReadResult::success(Data(std::string("part")))
                                         : WebServerReadResult::end());
              }).detach();
            });
      });
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  const auto streamed = get(server->port(), "GET /stream HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(streamed.chunked);
  EXPECT_EQ(streamed.body, "partpartpart");
}

TEST(WebServerRequests, Answers501WhenNoHandlerMatchesAnd500ForAnUndecodablePath) {
  auto server = WebServer::create();
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  EXPECT_EQ(get(server->port(), "GET /nothing HTTP/1.1\r\n\r\n").statusLine,
            "HTTP/1.1 501 Not Implemented");
  EXPECT_EQ(get(server->port(), "GET /%ff HTTP/1.1\r\n\r\n").status, 500);
  EXPECT_EQ(get(server->port(), "garbage\r\n\r\n").status, 500);
}

namespace {
// A server that echoes request bodies.
std::shared_ptr<WebServer> echoServer(WebServerOptions options = localOptions()) {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod("POST", WebServerRequestClass<WebServerDataRequest>(),
                                     [](const std::shared_ptr<WebServerRequest> &request) {
                                       auto &data = static_cast<WebServerDataRequest &>(*request);
                                       return text(data.data().toString());
                                     });
  EXPECT_TRUE(server->startWithOptions(std::move(options)));
  return server;
}
} // namespace

TEST(WebServerRequests, RefusesOversizedHeadsAndRequestLines) {
  auto server = echoServer();
  const std::string longHeader =
      "GET / HTTP/1.1\r\nX-Big: " + std::string(WebServerRequestHeadParser::kMaxHeadBytes, 'a') +
      "\r\n\r\n";
  EXPECT_EQ(get(server->port(), longHeader).status, 431);
  const std::string longLine = "GET /" +
                               std::string(WebServerRequestHeadParser::kMaxRequestLineBytes, 'a') +
                               " HTTP/1.1\r\n\r\n";
  EXPECT_EQ(get(server->port(), longLine).status, 414);
}

TEST(WebServerRequests, ClosesAnIdleClient) {
  WebServerOptions options = localOptions();
  options.readTimeout = 200ms;
  auto server = echoServer(options);
  auto silent = LoopbackClient::connect(server->port());
  ASSERT_TRUE(silent);
  EXPECT_TRUE(silent->waitForClose(test::scaledWait(5s)));
  EXPECT_EQ(RawHttpResponse::parse(silent->received())->status, 408);

  // A body that stops arriving is not handed to the handler.
  auto stalled = LoopbackClient::connect(server->port());
  ASSERT_TRUE(stalled);
  stalled->send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_TRUE(stalled->waitForClose(test::scaledWait(5s)));
  EXPECT_EQ(RawHttpResponse::parse(stalled->received())->status, 408);
}

TEST(WebServerRequests, EndsABodyDrippedBelowTheMinimumRateButReadsASteadyOneWhole) {
  WebServerOptions options = localOptions();
  options.readTimeout = 1s;
  options.minBodyBytesPerSecond = 100;  // each byte buys 10 ms past the first second
  auto server = echoServer(options);

  // A byte every 200 ms: each read comes well within the read timeout, yet the body as a whole
  // falls behind the rate and the connection ends about a second after the body began.
  auto dripping = LoopbackClient::connect(server->port());
  ASSERT_TRUE(dripping);
  dripping->send("POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n");
  const auto begun = std::chrono::steady_clock::now();
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - begun < 6s) {
    dripping->send("x");
    ended = dripping->waitForClose(200ms);  // paces the drip
  }
  ASSERT_TRUE(ended) << "a dripped body kept its connection open for 6 s";
  const auto answer = RawHttpResponse::parse(dripping->received());
  ASSERT_TRUE(answer) << dripping->received();
  EXPECT_EQ(answer->status, 408);

  // 200 bytes every 100 ms, twenty times the rate: read whole although it lasts past the grace.
  auto steady = LoopbackClient::connect(server->port());
  ASSERT_TRUE(steady);
  steady->send("POST / HTTP/1.1\r\nContent-Length: 3000\r\n\r\n");
  for (int piece = 0; piece < 15; ++piece) {
    if (piece > 0) {
      ASSERT_FALSE(steady->waitForClose(100ms))  // paces the sender
          << "a steady body was cut off after " << piece << " pieces";
    }
    steady->send(std::string(200, static_cast<char>('a' + piece)));
  }
  const auto echoed = RawHttpResponse::parse(steady->readAll());
  ASSERT_TRUE(echoed);
  EXPECT_EQ(echoed->status, 200);
  EXPECT_EQ(echoed->body.size(), 3000u);
}

TEST(WebServerRequests, RefusesBadLengthsWith400AndBodiesOverTheCapWith413BeforeReadingThem) {
  WebServerOptions options = localOptions();
  options.maxBodyBytes = 1000;
  auto server = echoServer(options);
  EXPECT_EQ(get(server->port(), "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabc").status, 400);
  // Only the head is sent: the answer comes without waiting for the body.
  auto client = LoopbackClient::connect(server->port());
  ASSERT_TRUE(client);
  client->send("POST / HTTP/1.1\r\nContent-Length: 5000\r\n\r\n");
  EXPECT_EQ(RawHttpResponse::parse(client->readUntil("\r\n\r\n", test::scaledWait(5s)))->status,
            413);
  // A chunk larger than the cap is refused as soon as its size line arrives.
  auto chunked = LoopbackClient::connect(server->port());
  ASSERT_TRUE(chunked);
  chunked->send("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n");
  EXPECT_EQ(RawHttpResponse::parse(chunked->readUntil("\r\n\r\n", test::scaledWait(5s)))->status,
            413);
  // Many small chunks that add up past the cap are refused too.
  std::string many = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 20; ++i)
    many += "64\r\n" + std::string(100, 'a') + "\r\n";
  EXPECT_EQ(get(server->port(), many + "0\r\n\r\n").status, 413);
}

TEST(WebServerRequests, DecodesChunkedBodies) {
  auto server = echoServer();
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(
      get(server->port(), head + "3;name=value\r\nabc\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n")
          .body,
      "abc0123456789");
  EXPECT_EQ(get(server->port(), head + "10000000000000003\r\nabc\r\n0\r\n\r\n").status, 400);
  EXPECT_EQ(get(server->port(), head + "3\r\nabcX\r\n0\r\n\r\n").status, 400);

  // The blank line after the last chunk arrives in a later read.
  auto client = LoopbackClient::connect(server->port());
  ASSERT_TRUE(client);
  client->send(head + "2\r\nhi\r\n0\r\n");
  client->send("\r\n");
  EXPECT_EQ(RawHttpResponse::parse(client->readAll())->body, "hi");
}

TEST(WebServerCompletions, IgnoresASecondCallAndAnswers500ForADroppedOne) {
  auto server = WebServer::create();
  server->addHandlerForMethodPath(
      "GET", "/twice", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
        completion(text("first"));
        completion(text("second"));
      });
  server->addHandlerForMethodPath(
      "GET", "/dropped", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
        // Handed to another thread, which drops it without calling it.
        std::thread([completion = std::move(completion)] {}).detach();
      });
  server->addHandlerForMethodPath(
      "GET", "/later", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
        std::thread([completion = std::move(completion)] {
          std::this_thread::sleep_for(50ms); // a slow origin
          completion(text("later"));
        }).detach();
      });
  server->addHandlerForMethodPath(
      "GET", "/throws", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &) -> std::shared_ptr<WebServerResponse> {
        throw std::runtime_error("handler bug");
      });
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  const auto twice = get(server->port(), "GET /twice HTTP/1.1\r\n\r\n");
  EXPECT_EQ(twice.body, "first");
  EXPECT_EQ(get(server->port(), "GET /dropped HTTP/1.1\r\n\r\n").status, 500);
  EXPECT_EQ(get(server->port(), "GET /later HTTP/1.1\r\n\r\n").body, "later");
  EXPECT_EQ(get(server->port(), "GET /throws HTTP/1.1\r\n\r\n").status, 500);
}

TEST(WebServerConnections, SurvivesAClientThatHangsUpMidResponseWithoutLeakingDescriptors) {
  auto server = serving([](const std::shared_ptr<WebServerRequest> &) {
    return text(std::string(32 * 1024 * 1024, 'q'));
  });
  const size_t before = openDescriptorCount();
  for (int i = 0; i < 5; ++i) {
    auto client = LoopbackClient::connect(server->port());
    ASSERT_TRUE(client);
    client->send("GET / HTTP/1.1\r\n\r\n");
    client->readUntil("qqqq");
    client->close(); // with unread data: the server's writes fail
  }
  EXPECT_TRUE(descriptorsReturnTo(before)) << openDescriptorCount() << " > " << before;
  EXPECT_EQ(get(server->port(), "GET / HTTP/1.1\r\n\r\n").body.size(), 32u * 1024 * 1024);
}

// A player that gives up on a request must not leave the work for it going: the request's
// cancellation tells its handler, whether the client leaves before any answer or while a
// streamed one is written. An answer written whole cancels nothing.
TEST(WebServerConnections, TellsTheHandlerWhenItsClientLeavesBeforeTheWholeAnswer) {
  test::Waiter waiter;
  std::map<std::string, std::shared_ptr<platform::CancellationToken>> tokens;
  std::set<std::string> cancelled;
  std::vector<WebServerCompletionBlock> unanswered;
  std::vector<WebServerReadCompletion> unread;
  auto server = WebServer::create();
  const auto record = [&](const std::shared_ptr<WebServerRequest>& request) {
    std::lock_guard lock(waiter.mutex());
    tokens[request->path()] = request->cancellation();
    request->cancellation()->onCancel([&, path = request->path()] {
      std::lock_guard inner(waiter.mutex());
      cancelled.insert(path);
      waiter.notify();
    });
    waiter.notify();
  };
  server->addHandlerForMethodPath(
      "GET", "/pending", WebServerRequestClass<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion) {
        record(request);
        std::lock_guard lock(waiter.mutex());
        unanswered.push_back(std::move(completion));
      });
  server->addHandlerForMethodPath(
      "GET", "/streamed", WebServerRequestClass<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion) {
        record(request);
        auto first = std::make_shared<bool>(true);
        completion(WebServerStreamedResponse::responseWithContentTypeAsync(
            "video/mp2t", [&, first](WebServerReadCompletion read) {
              if (std::exchange(*first, false))
                return read(WebServerReadResult::success(Data(std::string("abc"))));
              std::lock_guard lock(waiter.mutex());
              unread.push_back(std::move(read));  // the origin is slow to send the rest
            }));
      });
  server->addHandlerForMethodPath("GET", "/whole", WebServerRequestClass<WebServerRequest>(),
                                  [&](const std::shared_ptr<WebServerRequest>& request) {
                                    record(request);
                                    return text("done");
                                  });
  ASSERT_TRUE(server->startWithOptions(localOptions()));

  for (const std::string path : {"/pending", "/streamed"}) {
    auto client = LoopbackClient::connect(server->port());
    ASSERT_TRUE(client);
    client->send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(waiter.waitFor(test::scaledWait(5s), [&] { return tokens.count(path) == 1; }))
        << path;
    if (path == "/streamed") client->readUntil("abc");
    client->close();
    EXPECT_TRUE(waiter.waitFor(test::scaledWait(5s), [&] { return cancelled.count(path) == 1; }))
        << path << ": the handler was not told its client left";
  }
  // The connection settles its request before it closes.
  EXPECT_EQ(get(server->port(), "GET /whole HTTP/1.1\r\n\r\n").body, "done");
  std::lock_guard lock(waiter.mutex());
  EXPECT_EQ(cancelled.count("/whole"), 0u) << "an answer written whole was cancelled";
  unanswered.clear();
  unread.clear();
}

TEST(WebServerConnections, ClosesAClientThatDoesNotReadItsResponse) {
  WebServerOptions options = localOptions();
  options.writeTimeout = 200ms;
  options.connectedStateCoalescingInterval = 0;
  auto delegate = std::make_shared<Delegate>();
  auto server = serving(
      [](const std::shared_ptr<WebServerRequest> &) {
        return text(std::string(64 * 1024 * 1024, 'q'));
      },
      options);
  server->setDelegate(delegate);
  auto client = LoopbackClient::connect(server->port());
  ASSERT_TRUE(client);
  client->send("GET / HTTP/1.1\r\n\r\n");
  // The client never reads: the server gives up once its write stalls.
  EXPECT_TRUE(delegate->waitForDisconnects(1, test::scaledWait(10s)));
}

// Each slice a slow client takes renews the write timeout, so only a rate for the whole answer
// ends one that would hold its response for hours; a client reading fast keeps its answer.
TEST(WebServerConnections, EndsAResponseReadBelowTheMinimumRateButWritesAFastReaderItsWhole) {
  constexpr size_t kBodyBytes = 64 * 1024 * 1024;  // far more than loopback's socket buffers
  WebServerOptions options = localOptions();
  options.writeTimeout = 30s;
  options.responseRateWindow = 1s;
  options.minResponseBytesPerSecond = 16 * 1024 * 1024;
  auto server = serving(
      [](const std::shared_ptr<WebServerRequest> &) { return text(std::string(kBodyBytes, 'q')); },
      options);

  // 4 KiB every 100 ms: each 256 KiB slice goes within the write timeout, the whole never would.
  auto slow = LoopbackClient::connect(server->port());
  ASSERT_TRUE(slow);
  const timeval bound{5, 0};  // a read never blocks the test for longer
  ::setsockopt(slow->descriptor(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  slow->send("GET / HTTP/1.1\r\n\r\n");
  const auto begun = std::chrono::steady_clock::now();
  size_t received = 0;
  bool ended = false;
  std::array<char, 4096> buffer{};
  while (!ended && std::chrono::steady_clock::now() - begun < 10s) {
    const ssize_t n = ::recv(slow->descriptor(), buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      ended = true;
      break;
    }
    received += static_cast<size_t>(n);
    std::this_thread::sleep_for(100ms);  // paces the reader
  }
  EXPECT_TRUE(ended) << "a client reading 40 KB/s kept its connection for 10 s, " << received
                     << " bytes read";
  EXPECT_LT(received, kBodyBytes);

  const auto fast = get(server->port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(fast.status, 200);
  EXPECT_EQ(fast.body.size(), kBodyBytes);
}

// Connections take room for what they hold before they grow: past what all may hold together,
// a new request is answered 503 at once, with a time to try again, rather than read; a head that
// would grow past it is refused likewise; and room comes back as connections end.
TEST(WebServerConnections,
     RefusesNewRequestsWith503PastWhatConnectionsMayHoldAndServesOnceTheyEnd) {
  constexpr size_t kHeld = 4;
  test::Waiter waiter;
  std::map<std::string, WebServerCompletionBlock> pending;
  WebServerOptions options = localOptions();
  options.maxConnectionBytes = kHeld * WebServerConnection::kConnectionBytes + 4096;
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClass<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion) {
        std::lock_guard lock(waiter.mutex());
        pending[request->path()] = std::move(completion);
        waiter.notify();
      });
  ASSERT_TRUE(server->startWithOptions(options));
  const auto answer = [&](const std::string& path) {
    std::lock_guard lock(waiter.mutex());
    pending.at(path)(text("ok"));
  };

  std::vector<LoopbackClient> holders;
  for (size_t i = 0; i < kHeld; ++i) {
    holders.push_back(*LoopbackClient::connect(server->port()));
    holders.back().send("GET /held" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
  }
  ASSERT_TRUE(waiter.waitFor(test::scaledWait(5s), [&] { return pending.size() == kHeld; }));
  const auto refused = get(server->port(), "GET /new HTTP/1.1\r\n\r\n");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.header("Retry-After"), "1");

  // One of them ends: its room takes a small head, not one that grows past the rest.
  answer("/held0");
  EXPECT_EQ(RawHttpResponse::parse(holders[0].readAll()).value_or(RawHttpResponse{}).status, 200);
  const auto large =
      get(server->port(),
          "GET /large HTTP/1.1\r\nX-Padding: " + std::string(16 * 1024, 'p') + "\r\n\r\n");
  EXPECT_EQ(large.status, 503);

  for (size_t i = 1; i < kHeld; ++i) {
    answer("/held" + std::to_string(i));
    holders[i].readAll();
  }
  std::thread answering([&] {
    if (waiter.waitFor(test::scaledWait(5s), [&] { return pending.count("/again") == 1; }))
      answer("/again");
  });
  const auto served = get(server->port(), "GET /again HTTP/1.1\r\n\r\n");
  answering.join();
  EXPECT_EQ(served.status, 200);
  EXPECT_EQ(served.body, "ok");
}

// A program that fills the room with connections that stop (a head half sent, a large answer
// asked for and never read) keeps a player from nothing: once they have been idle for the minimum,
// each newcomer takes the room of the one idle longest, and gets its answer whole. Those ended
// learn it: a 503 where nothing of the answer went out, a reset where it had begun.
TEST(WebServerConnections, GivesTheRoomOfClientsThatStoppedToANewcomerWhoseAnswerComesWhole) {
  constexpr size_t kLargeBytes = 16 * 1024 * 1024;  // far more than loopback's socket buffers
  constexpr auto kMinIdle = 300ms;
  std::atomic<int> largeAnswers{0};
  WebServerOptions options = localOptions();
  options.maxConnectionBytes = 2 * WebServerConnection::kConnectionBytes + 4096;
  options.minIdleBeforeEndingForRoom = kMinIdle;
  auto server = serving(
      [&](const std::shared_ptr<WebServerRequest>& request) {
        if (request->path() != "/large") return text("ok");
        ++largeAnswers;
        return text(std::string(kLargeBytes, 'q'));
      },
      options);
  auto halfHead = LoopbackClient::connect(server->port());
  auto unread = LoopbackClient::connect(server->port());
  ASSERT_TRUE(halfHead && unread);
  halfHead->send("GET /never HTTP/1.1\r\nX-Padding: ");
  unread->send("GET /large HTTP/1.1\r\n\r\n");
  const auto answering = std::chrono::steady_clock::now() + test::scaledWait(5s);
  while (largeAnswers == 0 && std::chrono::steady_clock::now() < answering)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(kMinIdle + test::scaledWait(kMinIdle));  // both idle past it

  // Two newcomers holding their room at once: each needs that of one who stopped, and both are
  // told before a newcomer ends and gives its room back.
  auto first = LoopbackClient::connect(server->port());
  auto second = LoopbackClient::connect(server->port());
  ASSERT_TRUE(first && second);
  const auto told = RawHttpResponse::parse(halfHead->readAll());
  ASSERT_TRUE(told) << "a stopped head was not told";
  EXPECT_EQ(told->status, 503);
  EXPECT_EQ(told->header("Retry-After"), "1");
  pollfd cut{unread->descriptor(), 0, 0};  // a reset, behind the bytes left unread
  ::poll(&cut, 1, static_cast<int>(test::scaledWait(5s).count()));
  for (auto* client : {&*first, &*second}) {
    client->send("GET /small HTTP/1.1\r\n\r\n");
    const auto served = RawHttpResponse::parse(client->readAll());
    ASSERT_TRUE(served);
    EXPECT_EQ(served->status, 200);
    EXPECT_EQ(served->body, "ok");
  }
  EXPECT_LT(unread->readAll(test::scaledWait(30s)).size(), kLargeBytes);
  EXPECT_TRUE(unread->wasReset()) << "a cut answer ended without a reset";
}

namespace {

// Takes the descriptor number a connection just closed, as the next socket the process opens
// does: anything the connection still writes on that number reaches `partner`.
class DescriptorReusingConnection : public WebServerConnection {
 public:
  using WebServerConnection::WebServerConnection;
  static inline std::atomic<int> partner{-1};

 protected:
  bool open() override {
    // Room for the whole answer at once, so that each write completes without waiting.
    const int bytes = 8 * 1024 * 1024;
    ::setsockopt(socket(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
    return true;
  }
  void close() override {
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return;
    if (pair[0] == socket()) {
      partner = pair[1];
    } else if (pair[1] == socket()) {
      partner = pair[0];
    } else {
      ::close(pair[0]);
      ::close(pair[1]);
    }
  }
};

}  // namespace

// A connection reset (or left by its client) while the next slice of its answer is queued must
// write nothing more: its descriptor number may already belong to another socket, whose peer would
// get the rest of this answer.
TEST(WebServerConnections, WritesNothingOnItsDescriptorOnceClosed) {
  constexpr size_t kPieceBytes = 3 * WebServerConnection::kMaxWriteBytes;
  WebServerOptions options = localOptions();
  options.connectionClass = [](WebServerConnectionInit init) {
    return std::make_shared<DescriptorReusingConnection>(std::move(init));
  };
  auto server = serving(
      [](const std::shared_ptr<WebServerRequest>&) {
        auto response = std::make_shared<std::weak_ptr<WebServerResponse>>();
        auto made = WebServerStreamedResponse::responseWithContentTypeAsync(
            "application/octet-stream", [response](WebServerReadCompletion completion) {
              // Reset asked while the first piece is written: it is queued before the next slice.
              if (auto self = response->lock()) self->resetHandle()->request();
              completion(WebServerReadResult::success(Data(std::string(kPieceBytes, 's'))));
            });
        *response = made;
        return made;
      },
      options);
  for (int attempt = 0; attempt < 3; ++attempt) {
    DescriptorReusingConnection::partner = -1;
    auto client = LoopbackClient::connect(server->port());
    ASSERT_TRUE(client);
    const int bytes = 8 * 1024 * 1024;
    ::setsockopt(client->descriptor(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    client->send("GET / HTTP/1.1\r\n\r\n");
    client->readAll();
    EXPECT_TRUE(client->wasReset());
    const int partner = DescriptorReusingConnection::partner.exchange(-1);
    if (partner < 0) continue;  // another number was lower: nothing to see this time
    pollfd readable{partner, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(test::scaledWait(100ms).count()));
    std::array<char, 256> leaked{};
    const ssize_t n = ready > 0 ? ::recv(partner, leaked.data(), leaked.size(), 0) : 0;
    ::close(partner);
    EXPECT_LE(n, 0) << "a closed connection wrote "
                    << std::string(leaked.data(), std::max<ssize_t>(n, 0))
                    << " on a descriptor it no longer owned";
  }
}

TEST(WebServerLifecycle, StartsOnPortZeroOnBothFamilies) {
  auto server = serving([](const std::shared_ptr<WebServerRequest> &request) {
    return text(request->localAddressString());
  });
  ASSERT_NE(server->port(), 0);
  EXPECT_EQ(server->serverURL(), "http://127.0.0.1:" + std::to_string(server->port()) + "/");
  const auto v4 = RawHttpResponse::parse(exchange(server->port(), "GET / HTTP/1.1\r\n\r\n", false));
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->body, "127.0.0.1:" + std::to_string(server->port()));
  const auto v6 = RawHttpResponse::parse(exchange(server->port(), "GET / HTTP/1.1\r\n\r\n", true));
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->body, "::1:" + std::to_string(server->port()));
}

TEST(WebServerLifecycle, KeepsServingOpenConnectionsAfterTheServerIsDestroyed) {
  std::promise<WebServerCompletionBlock> pending;
  auto server =
      serving([&](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
        pending.set_value(std::move(completion));
      });
  const uint16_t port = server->port();
  auto client = LoopbackClient::connect(port);
  ASSERT_TRUE(client);
  client->send("GET / HTTP/1.1\r\n\r\n");
  WebServerCompletionBlock completion = pending.get_future().get();
  ASSERT_TRUE(test::processListensOn(port));
  server.reset(); // stops listening; the connection keeps what it uses
  EXPECT_FALSE(test::processListensOn(port));
  completion(text("still here"));
  EXPECT_EQ(RawHttpResponse::parse(client->readAll())->body, "still here");
}

TEST(WebServerLifecycle, ReportsOneConnectAndOneDisconnectForABurst) {
  auto delegate = std::make_shared<Delegate>();
  auto server = WebServer::create();
  server->setDelegate(delegate);
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest> &) { return text("x"); });
  WebServerOptions options = localOptions();
  options.connectedStateCoalescingInterval = 1.0;
  ASSERT_TRUE(server->startWithOptions(options));
  for (int i = 0; i < 5; ++i)
    get(server->port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(delegate->waitForDisconnects(1));
  EXPECT_EQ(delegate->connectCount(), 1);
  EXPECT_EQ(delegate->disconnectCount(), 1);
}

TEST(WebServerLifecycle, TakesANewDelegateWhileItsReportsRun) {
  WebServerOptions options = localOptions();
  options.connectedStateCoalescingInterval = 0;
  auto server =
      serving([](const std::shared_ptr<WebServerRequest>&) { return text("x"); }, options);
  auto first = std::make_shared<Delegate>();
  auto second = std::make_shared<Delegate>();
  // Every request gives a connect and a disconnect report on the main queue while the delegate
  // is replaced from this thread.
  for (int i = 0; i < 20; ++i) {
    server->setDelegate(i % 2 == 0 ? first : second);
    get(server->port(), "GET / HTTP/1.1\r\n\r\n");
  }
  auto last = std::make_shared<Delegate>();
  server->setDelegate(last);
  get(server->port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(last->waitForDisconnects(1));
}

TEST(WebServerRequests, ParsesAMultipartUploadAndRefusesABrokenOne) {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod("POST", WebServerRequestClass<WebServerMultiPartFormRequest>(),
                                     [](const std::shared_ptr<WebServerRequest> &request) {
                                       auto &form =
                                           static_cast<WebServerMultiPartFormRequest &>(*request);
                                       const auto field = form.firstArgumentForControlName("field");
                                       const auto file = form.firstFileForControlName("upload");
                                       return text((field ? field->string().value_or("?") : "-") +
                                                   "|" + (file ? file->fileName() : "-"));
                                     });
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"f.bin\"\r\n\r\n" +
      std::string(300000, 'f') + "\r\n--b--\r\n";
  const std::string head = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                           "Content-Length: ";
  EXPECT_EQ(get(server->port(), head + std::to_string(body.size()) + "\r\n\r\n" + body).body,
            "value|f.bin");
  const std::string broken = "--b\r\nContent-Disposition: form-data\r\n\r\nx\r\n--b--\r\n";
  EXPECT_EQ(get(server->port(), head + std::to_string(broken.size()) + "\r\n\r\n" + broken).status,
            500);
}

// Without ::1 (IPv6 disabled, or [::1] held by another program) the server serves 127.0.0.1
// alone, tells the owner why, and still frees the port when stopped.
TEST(WebServerLifecycle, ServesIPv4AloneWhenTheIPv6PortIsTakenAndFreesItOnStop) {
  // Another program holds the port on IPv6 only.
  const int blocker = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(blocker, 0);
  const int yes = 1;
  ::setsockopt(blocker, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t length = sizeof(address);
  ::getsockname(blocker, reinterpret_cast<sockaddr *>(&address), &length);
  const uint16_t port = ntohs(address.sin6_port);

  WebServerOptions options = localOptions();
  options.port = port;
  auto server = serving([](const std::shared_ptr<WebServerRequest> &) { return text("v4"); },
                        options);
  ASSERT_TRUE(server->isListening());
  ASSERT_TRUE(server->ipv6Error());
  EXPECT_EQ(server->ipv6Error()->code, EADDRINUSE);
  EXPECT_EQ(server->serverURL(), "http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(get(port, "GET / HTTP/1.1\r\n\r\n").body, "v4");
  server->stop();
  EXPECT_FALSE(test::processListensOn(port, true, false)); // no IPv4 listener was left
  ::close(blocker);
}

TEST(WebServerConnections, AnswersAThousandConcurrentRequests) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 4096) {
    limit.rlim_cur = std::min<rlim_t>(4096, limit.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  ASSERT_GE(limit.rlim_cur, 2100u) << "descriptor limit too low for this test";
  WebServerOptions options = localOptions();
  options.maxPendingConnections = 1024;
  auto server = serving(
      [](const std::shared_ptr<WebServerRequest> &request) { return text(request->path()); },
      options);
  constexpr int kClients = 1000;
  std::vector<LoopbackClient> clients;
  clients.reserve(kClients);
  for (int i = 0; i < kClients; ++i) {
    auto client = LoopbackClient::connect(server->port());
    ASSERT_TRUE(client) << i;
    ASSERT_TRUE(client->send("GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n"));
    clients.push_back(std::move(*client));
  }
  int answered = 0;
  for (int i = 0; i < kClients; ++i) {
    const auto response = RawHttpResponse::parse(clients[i].readAll(10s));
    if (response && response->status == 200 && response->body == "/" + std::to_string(i))
      ++answered;
  }
  EXPECT_EQ(answered, kClients);
}

TEST(WebServerRequests, HonoursExpectContinueAndRefusesOtherExpectations) {
  auto server = echoServer();
  auto client = LoopbackClient::connect(server->port());
  ASSERT_TRUE(client);
  client->send("POST / HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-Continue\r\n\r\n");
  EXPECT_EQ(client->readUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  client->send("body");
  const std::string rest = client->readAll().substr(25);
  EXPECT_EQ(RawHttpResponse::parse(rest)->body, "body");

  EXPECT_EQ(get(server->port(), "POST / HTTP/1.1\r\nContent-Length: 4\r\nExpect: magic\r\n\r\nbody")
                .status,
            417);
}

TEST(WebServerHandlers, TriesTheLastAddedHandlerFirst) {
  auto server = WebServer::create();
  for (const char *name : {"A", "B", "C"}) {
    server->addHandlerWithMatchBlock(
        [name](const WebServerRequestInfo &info) -> std::shared_ptr<WebServerRequest> {
          // C declines /skip-c, so B answers it.
          if (std::string(name) == "C" && info.path == "/skip-c")
            return nullptr;
          return std::make_shared<WebServerRequest>(info);
        },
        [name](const std::shared_ptr<WebServerRequest> &) { return text(name); });
  }
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  EXPECT_EQ(get(server->port(), "GET /any HTTP/1.1\r\n\r\n").body, "C");
  EXPECT_EQ(get(server->port(), "GET /skip-c HTTP/1.1\r\n\r\n").body, "B");
}

TEST(WebServerHandlers, StoresRegexCapturesCaseInsensitively) {
  auto server = WebServer::create();
  std::promise<std::vector<std::string>> captured;
  server->addHandlerForMethodPathRegex(
      "GET", R"(^/(\w+)/(?:v(\d+)/)?([^/]+)\.TS$)", WebServerRequestClass<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest> &request, WebServerCompletionBlock completion) {
        captured.set_value(request->regexCaptures());
        completion(text("ok"));
      });
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  EXPECT_EQ(get(server->port(), "GET /live/seg%201.ts?x=1 HTTP/1.1\r\n\r\n").status, 200);
  EXPECT_EQ(captured.get_future().get(), (std::vector<std::string>{"live", "seg 1"}));
  // The method must match exactly and the pattern must find something.
  EXPECT_EQ(get(server->port(), "POST /live/a.ts HTTP/1.1\r\n\r\n").status, 501);
  EXPECT_EQ(get(server->port(), "GET /live/a.m3u8 HTTP/1.1\r\n\r\n").status, 501);
}

TEST(WebServerResponses, AnswersConditionalRequestsWith304Or412) {
  auto server = WebServer::create();
  auto handler = [](const std::shared_ptr<WebServerRequest> &) {
    auto response = text("tagged");
    response->setETag("abc");
    return response;
  };
  server->addDefaultHandlerForMethod("GET", WebServerRequestClass<WebServerRequest>(), handler);
  server->addDefaultHandlerForMethod("POST", WebServerRequestClass<WebServerRequest>(), handler);
  ASSERT_TRUE(server->startWithOptions(localOptions()));
  const auto notModified = get(server->port(), "GET / HTTP/1.1\r\nIf-None-Match: abc\r\n\r\n");
  EXPECT_EQ(notModified.status, 304);
  EXPECT_EQ(notModified.header("ETag"), "abc");
  EXPECT_EQ(notModified.body, "");
  const auto failed = get(server->port(), "POST / HTTP/1.1\r\nIf-None-Match: abc\r\n\r\n");
  EXPECT_EQ(failed.status, 412);
  const auto whole = get(server->port(), "GET / HTTP/1.1\r\nIf-None-Match: xyz\r\n\r\n");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, "tagged");
}
