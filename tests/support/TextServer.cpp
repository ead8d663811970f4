#include "support/TextServer.hpp"

#include <gtest/gtest.h>

#include "support/LoopbackClient.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

namespace ombrelia::test {

std::shared_ptr<WebServer> startTextServer(WebServerOptions options,
                                           std::shared_ptr<WebServerDelegate> delegate) {
  auto server = WebServer::create();
  if (delegate) server->setDelegate(delegate);
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) {
        return WebServerDataResponse::responseWithText(kTextServerBody);
      });
  EXPECT_TRUE(server->startWithOptions(std::move(options)));
  return server;
}

bool textServerAnswers(uint16_t port) {
  auto client = LoopbackClient::connect(port);
  if (!client) return false;
  client->send("GET / HTTP/1.1\r\n\r\n");
  return client->readAll().find(kTextServerBody) != std::string::npos;
}

}  // namespace ombrelia::test
