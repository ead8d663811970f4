#include "support/ChromiumPeer.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace ombrelia::test {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
// Runs the browser with the parent-death signal set, so that a test that crashes or is killed
// does not leave a browser behind (its helpers end with it).
constexpr const char* kSetpriv = "/usr/bin/setpriv";

std::string pageText() {
  std::ifstream in(std::string(OMBRELIA_SOURCE_DIR) + "/tests/interop/chromium_peer.html");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `name` in a request target's query, percent-decoded.
std::string queryValue(const std::string& target, const std::string& name) {
  const auto query = target.find('?');
  if (query == std::string::npos) return {};
  std::string encoded;
  std::stringstream pairs(target.substr(query + 1));
  for (std::string pair; std::getline(pairs, pair, '&');) {
    if (pair.rfind(name + "=", 0) == 0) encoded = pair.substr(name.size() + 1);
  }
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && hexValue(encoded[i + 1]) >= 0 &&
        hexValue(encoded[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2])));
      i += 2;
    } else {
      out.push_back(encoded[i] == '+' ? ' ' : encoded[i]);
    }
  }
  return out;
}

}  // namespace

bool ChromiumPeer::available() {
  return ::access(kChromium, X_OK) == 0 && ::access(kSetpriv, X_OK) == 0;
}

ChromiumPeer::ChromiumPeer(const std::string& role, LineCallback onLine) {
  std::string dir = (std::filesystem::temp_directory_path() / "ombrelia-chromium-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return;
  profile_ = dir;

  server_.route("/", TestHttpResponse::ok(pageText(), "text/html; charset=utf-8"));
  server_.route("/event", [onLine = std::move(onLine)](const TestHttpRequest& request) {
    onLine(queryValue(request.target, "m"));
    return TestHttpResponse::ok("", "text/plain");
  });
  server_.route("/poll", [this](const TestHttpRequest&) {
    std::vector<std::string> lines;
    {
      std::lock_guard lock(mutex_);
      lines.swap(queued_);
    }
    std::string body = "[";
    for (size_t i = 0; i < lines.size(); ++i) body += (i ? "," : "") + lines[i];
    return TestHttpResponse::ok(body + "]", "application/json");
  });

  browser_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{
          kSetpriv, "--pdeathsig", "KILL", kChromium, "--headless", "--no-sandbox", "--disable-gpu",
          "--disable-background-networking", "--disable-component-update", "--no-first-run",
          "--user-data-dir=" + profile_.string(),
          // Host candidates on 127.0.0.1, and a media permission granted without a person,
          // which lets the page see real addresses instead of mDNS names.
          "--allow-loopback-in-peer-connection", "--use-fake-ui-for-media-stream",
          "--use-fake-device-for-media-stream", server_.url("/?role=" + role)},
      ChildProcess::Settings{.discardStderr = true, .ownProcessGroup = true});
}

ChromiumPeer::~ChromiumPeer() {
  browser_.reset();
  if (!profile_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(profile_, ignored);
  }
}

bool ChromiumPeer::send(const std::string& line) {
  std::lock_guard lock(mutex_);
  queued_.push_back(line);
  return true;
}

}  // namespace ombrelia::test
