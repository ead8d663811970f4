#pragma once
// Test thread only.

#include <cstdint>
#include <memory>

#include "webserver/core/WebServer.hpp"

namespace ombrelia::test {

// A started web server whose one handler answers every GET with kTextServerBody, for tests of
// what surrounds the serving (publication, port mapping) that check it keeps serving.
inline constexpr const char* kTextServerBody = "served";
std::shared_ptr<WebServer> startTextServer(WebServerOptions options,
                                           std::shared_ptr<WebServerDelegate> delegate = nullptr);
// True when the server on this loopback port answers a GET with that body.
bool textServerAnswers(uint16_t port);

}  // namespace ombrelia::test
