#include "support/StreamOrigin.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/ChildProcess.hpp"
#include "support/LoopbackAddress.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

StreamOrigin::StreamOrigin(const std::string& documentRoot, Settings settings) {
  char tmpl[] = "/tmp/ombrelia-origin-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return;
  workDir_ = tmpl;
  // A port picked now may be taken before nginx binds it; try a few.
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    const int port = freeLoopbackPort();
    std::vector<std::string> command{
        std::string(OMBRELIA_SOURCE_DIR) + "/tests/support/start-origin", documentRoot,
        std::to_string(port), workDir_};
    if (!settings.requiredAuthorization.empty()) {
      command.push_back(settings.requiredAuthorization);
    }
    process_ = std::make_unique<ChildProcess>(std::move(command),
                                              ChildProcess::Settings{.discardStderr = true});
    const auto deadline = std::chrono::steady_clock::now() + scaledWait(std::chrono::seconds(10));
    while (std::chrono::steady_clock::now() < deadline) {
      if (acceptsOnLoopback(static_cast<uint16_t>(port))) {
        port_ = port;
        break;
      }
      if (process_->wait(std::chrono::milliseconds(0))) break;  // exited: port taken
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (port_ == 0) process_.reset();
  }
}

StreamOrigin::~StreamOrigin() {
  process_.reset();
  if (!workDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(workDir_, ec);
  }
}

std::string StreamOrigin::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> StreamOrigin::readAccessLog() const {
  std::vector<std::string> lines;
  std::ifstream in(workDir_ + "/access.log");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> StreamOrigin::accessLog() const {
  // nginx writes a request's line just after the answer's last byte has left, so a client can
  // hold the whole answer before the line exists. The single worker handles one event at a
  // time: once a request of our own made after those answers is logged, so are they.
  constexpr const char* kMarkPath = "/access-log-mark-";
  const std::string mark = kMarkPath + std::to_string(++marks_);
  ChildProcess::run({"curl", "-s", "-o", "/dev/null", url(mark)});
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(std::chrono::seconds(5));
  std::vector<std::string> lines = readAccessLog();
  auto marked = [&] {
    for (const auto& line : lines) {
      if (line.find(mark + " ") != std::string::npos) return true;
    }
    return false;
  };
  while (!marked() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a file offers no event
    lines = readAccessLog();
  }
  std::erase_if(lines,
                [&](const std::string& line) { return line.find(kMarkPath) != std::string::npos; });
  return lines;
}

}  // namespace ombrelia::test
