#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/ApplicationLifecycle.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/ListeningSockets.hpp"
#include "support/LoopbackClient.hpp"
#include "support/RawHttpResponse.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

using namespace ombrelia;
using ombrelia::platform::ApplicationLifecycle;
using ombrelia::platform::DispatchQueue;
using ombrelia::test::LoopbackClient;
using ombrelia::test::RawHttpResponse;

namespace {

// Transitions and connection reports are handled on the main queue; this waits for them.
void settle() {
  DispatchQueue::main()->drain();
  DispatchQueue::main()->drain();
}

WebServerOptions options() {
  WebServerOptions options;
  options.bindToLocalhost = true;
  options.connectedStateCoalescingInterval = 0;
  return options;
}

std::shared_ptr<WebServer> server(std::promise<WebServerCompletionBlock> *pending = nullptr) {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClass<WebServerRequest>(),
      [pending](const std::shared_ptr<WebServerRequest> &, WebServerCompletionBlock completion) {
        if (pending != nullptr) {
          pending->set_value(std::move(completion));
        } else {
          completion(WebServerDataResponse::responseWithText("up"));
        }
      });
  return server;
}

// Reports the server's idle notification; it runs on the main queue after the stop it causes.
class DisconnectWaiter : public WebServerDelegate {
public:
  void webServerDidDisconnect(WebServer &) override {
    std::lock_guard lock(mutex_);
    disconnected_ = true;
    changed_.notify_all();
  }
  bool waitForDisconnect() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return disconnected_; });
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool disconnected_ = false;
};

bool answers(uint16_t port) {
  auto client = LoopbackClient::connect(port);
  if (!client)
    return false;
  client->send("GET / HTTP/1.1\r\n\r\n");
  const auto response = RawHttpResponse::parse(client->readAll());
  return response && response->body == "up";
}

} // namespace

TEST(WebServerSuspension, StopsInTheBackgroundAndListensAgainInTheForeground) {
  auto web = server();
  auto delegate = std::make_shared<DisconnectWaiter>();
  web->setDelegate(delegate);
  ASSERT_TRUE(web->startWithOptions(options()));
  const uint16_t port = web->port();
  ASSERT_TRUE(answers(port));
  // Idle again: the connection's background task has ended.
  ASSERT_TRUE(delegate->waitForDisconnect());
  ApplicationLifecycle::shared().enterBackground();
  settle();
  EXPECT_TRUE(web->isRunning());
  EXPECT_FALSE(web->isListening());
  EXPECT_EQ(web->port(), 0);
  EXPECT_FALSE(test::processListensOn(port));
  ApplicationLifecycle::shared().enterForeground();
  settle();
  EXPECT_TRUE(web->isListening());
  EXPECT_TRUE(answers(web->port()));
}

TEST(WebServerSuspension, WaitsForOpenConnectionsOrTheirExpiryBeforeStopping) {
  std::promise<WebServerCompletionBlock> pending;
  auto web = server(&pending);
  auto delegate = std::make_shared<DisconnectWaiter>();
  web->setDelegate(delegate);
  ASSERT_TRUE(web->startWithOptions(options()));
  auto client = LoopbackClient::connect(web->port());
  ASSERT_TRUE(client);
  client->send("GET / HTTP/1.1\r\n\r\n");
  WebServerCompletionBlock completion = pending.get_future().get();
  settle();
  EXPECT_EQ(ApplicationLifecycle::shared().backgroundTaskCount(), 1u);
  ApplicationLifecycle::shared().enterBackground();
  settle();
  EXPECT_TRUE(web->isListening()); // the open connection holds a background task

  completion(WebServerDataResponse::responseWithText("done"));
  EXPECT_EQ(RawHttpResponse::parse(client->readAll())->body, "done");
  client.reset();
  ASSERT_TRUE(delegate->waitForDisconnect());
  settle();
  EXPECT_FALSE(web->isListening());
  EXPECT_EQ(ApplicationLifecycle::shared().backgroundTaskCount(), 0u);
}

TEST(WebServerSuspension, StopsWhenTheBackgroundTaskExpires) {
  std::promise<WebServerCompletionBlock> pending;
  auto web = server(&pending);
  ASSERT_TRUE(web->startWithOptions(options()));
  auto client = LoopbackClient::connect(web->port());
  ASSERT_TRUE(client);
  client->send("GET / HTTP/1.1\r\n\r\n");
  WebServerCompletionBlock completion = pending.get_future().get();
  settle();
  ApplicationLifecycle::shared().enterBackground();
  settle();
  EXPECT_TRUE(web->isListening());
  ApplicationLifecycle::shared().expireBackgroundTasks();
  settle();
  EXPECT_FALSE(web->isListening());
  completion(WebServerDataResponse::responseWithText("late"));
  EXPECT_EQ(RawHttpResponse::parse(client->readAll())->body, "late");
}
