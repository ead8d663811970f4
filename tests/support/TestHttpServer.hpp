#pragma once
// Any thread: routes may change while the server runs; connections are served on the server's
// own thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/TestHttpRequest.hpp"
#include "support/TestHttpResponse.hpp"

namespace ombrelia::test {

// A small HTTP/1.1 origin on 127.0.0.1 and a free port, for tests: each path answers with a
// chosen status, body, content type, headers, delay, stall, range or keep-alive behaviour. An
// answer closes its connection unless it keeps it alive. An unknown path answers 404.
class TestHttpServer {
 public:
  using Handler = std::function<TestHttpResponse(const TestHttpRequest&)>;

  TestHttpServer();
  // Stops serving; stalled connections are closed.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  void route(const std::string& path, TestHttpResponse response);
  void route(const std::string& path, Handler handler);

  // Answers every request of `path` held by a heldUntilReleased response.
  void release(const std::string& path);
  // Closes every connection a stalling answer keeps open: an origin that breaks off.
  void closeStalled();

  uint16_t port() const;
  // "http://127.0.0.1:<port>" followed by `pathAndQuery`.
  std::string url(std::string_view pathAndQuery) const;

  std::vector<TestHttpRequest> requests() const;
  size_t requestCount() const;
  // Connections accepted so far.
  size_t connectionCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ombrelia::test
