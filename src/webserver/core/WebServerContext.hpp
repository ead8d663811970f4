#pragma once
// Any thread: immutable after the server builds it at start, except the activity counter and
// the connection budget, which guard themselves.

#include <memory>
#include <string>
#include <vector>

#include "webserver/core/WebServerActivity.hpp"
#include "webserver/core/WebServerConnectionBudget.hpp"
#include "webserver/core/WebServerHandler.hpp"
#include "webserver/core/WebServerOptions.hpp"

namespace ombrelia {

// What the connections of one start of a server use. Each connection holds it, so a server
// that is stopped or destroyed while connections are open leaves them everything they need.
struct WebServerContext {
  WebServerOptions options;
  // In lookup order: the handler added last comes first.
  std::vector<std::shared_ptr<const WebServerHandler>> handlers;
  std::shared_ptr<WebServerActivity> activity;
  // What this start's connections hold together, bounded by options.maxConnectionBytes.
  std::shared_ptr<WebServerConnectionBudget> connections;
  // Authentication, from the options: Basic credentials ("user:password" in Base64) or Digest
  // HA1 values (MD5 of "user:realm:password"), by user name.
  std::string authenticationRealm;
  std::map<std::string, std::string> authenticationBasicAccounts;
  std::map<std::string, std::string> authenticationDigestAccounts;
};

} // namespace ombrelia
