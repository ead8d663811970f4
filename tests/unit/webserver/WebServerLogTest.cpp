#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "support/LoopbackClient.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

using namespace ombrelia;
using ombrelia::test::LoopbackClient;

namespace {

std::shared_ptr<WebServer> startedServer() {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod("GET", WebServerRequestClass<WebServerRequest>(),
                                     [](const std::shared_ptr<WebServerRequest> &) {
                                       return WebServerDataResponse::responseWithText("abc");
                                     });
  WebServerOptions options;
  options.bindToLocalhost = true;
  EXPECT_TRUE(server->startWithOptions(options));
  return server;
}

void fetch(uint16_t port, const std::string &request) {
  auto client = LoopbackClient::connect(port);
  ASSERT_TRUE(client);
  client->send(request);
  client->readAll();
}

} // namespace

TEST(WebServerLogging, WritesTheAccessLineOfEachRequest) {
  std::mutex mutex;
  std::condition_variable logged;
  std::vector<std::string> lines;
  WebServerSetBuiltInLogger([&](int level, const std::string &line) {
    std::lock_guard lock(mutex);
    if (level == kWebServerLogVerbose)
      lines.push_back(line);
    logged.notify_all();
  });
  // The access line is written as the connection closes, after the client saw the close, so
  // each line is awaited before the next request: otherwise the two lines may come in any order.
  auto awaitLines = [&](size_t count) {
    std::unique_lock lock(mutex);
    logged.wait_for(lock, std::chrono::seconds(5), [&] { return lines.size() >= count; });
  };
  auto server = startedServer();
  fetch(server->port(), "HEAD /page HTTP/1.1\r\n\r\n");
  awaitLines(1);
  fetch(server->port(), "nonsense\r\n\r\n");
  awaitLines(2);
  server->stop();
  WebServerSetBuiltInLogger(nullptr);
  std::lock_guard lock(mutex);
  ASSERT_EQ(lines.size(), 2u);
  const std::string local = "[127.0.0.1:";
  EXPECT_EQ(lines[0].rfind(local, 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" 200 \"HEAD /page\" ("), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" 500 \"(invalid request)\" ("), std::string::npos) << lines[1];
}
