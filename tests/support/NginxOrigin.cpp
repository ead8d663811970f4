#include "support/NginxOrigin.hpp"
#include "support/LoopbackAddress.hpp"
#include "support/WaitScale.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace ombrelia::test {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
// A free port may be taken between choosing it and nginx binding it; try a few.
constexpr int kStartAttempts = 3;
// nginx is up within milliseconds; past this something is wrong.
constexpr auto kStartTimeout = std::chrono::seconds(5);
// nginx leaves within milliseconds of SIGTERM; past this it is killed.
constexpr auto kStopTimeout = std::chrono::seconds(5);

uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}


}  // namespace

NginxOrigin::NginxOrigin(Settings settings) : tls_(settings.tls) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ombrelia-nginx-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("NginxOrigin: mkdtemp");
  directory_ = pattern;
  root_ = directory_ / "www";
  std::filesystem::create_directories(root_);
  std::filesystem::create_directories(directory_ / "tmp");
  if (tls_) certificate_ = std::make_unique<SelfSignedCertificate>(directory_);
  // nginx may drop root for an unprivileged user, which must still read the files.
  std::filesystem::permissions(
      directory_,
      std::filesystem::perms::others_read | std::filesystem::perms::others_exec |
          std::filesystem::perms::group_read | std::filesystem::perms::group_exec,
      std::filesystem::perm_options::add);
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    port_ = freePort();
    if (settings.redirectFromPlainHttp) {
      do {
        redirectingPort_ = freePort();
      } while (redirectingPort_ == port_);
    }
    writeConfig(settings);
    if (start()) return;
  }
  std::ifstream log(directory_ / "error.log");
  const std::string errors((std::istreambuf_iterator<char>(log)), {});
  std::filesystem::remove_all(directory_);
  throw std::runtime_error("NginxOrigin: nginx did not start: " + errors);
}

NginxOrigin::~NginxOrigin() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void NginxOrigin::writeConfig(const Settings& settings) const {
  const std::string dir = directory_.string();
  std::string listen = "127.0.0.1:" + std::to_string(port_);
  if (settings.tls) listen += " ssl";
  if (settings.http2) listen += " http2";
  std::ofstream config(directory_ / "nginx.conf");
  config << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/error.log;\n"
         << "events { worker_connections 512; }\n"
         << "http {\n  access_log off;\n  sendfile on;\n  keepalive_requests 100000;\n"
         << "  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir << "/tmp;\n"
         << "  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n"
         << "  scgi_temp_path " << dir << "/tmp;\n"
         << "  default_type application/octet-stream;\n"
         << "  types {\n    application/vnd.apple.mpegurl m3u8;\n    video/mp2t ts;\n"
         << "    video/mp4 mp4 m4s;\n    audio/aac aac;\n    text/plain txt;\n  }\n"
         << "  server {\n    listen " << listen << ";\n    root " << root_.string() << ";\n";
  if (certificate_) {
    config << "    ssl_certificate " << certificate_->certificateFile().string() << ";\n"
           << "    ssl_certificate_key " << certificate_->keyFile().string() << ";\n";
  }
  config << "    location = /connection {\n      default_type text/plain;\n"
         << "      return 200 \"$server_protocol $connection\\n\";\n    }\n"
         << settings.extraServerConfig << "\n  }\n";
  if (settings.redirectFromPlainHttp) {
    config << "  server {\n    listen 127.0.0.1:" << redirectingPort_ << ";\n"
           << "    return 302 " << url("") << "$request_uri;\n  }\n";
  }
  config << "}\n";
}

bool NginxOrigin::start() {
  const std::string prefix = directory_.string() + "/";
  const std::string config = (directory_ / "nginx.conf").string();
  const std::string errorLog = (directory_ / "error.log").string();
  std::vector<std::string> args{kNginx, "-p", prefix, "-c", config, "-e", errorLog};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, kNginx, nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(kStartTimeout);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // exited: most likely the port was taken meanwhile
      return false;
    }
    if (acceptsOnLoopback(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop();
  return false;
}

void NginxOrigin::stop() {
  if (pid_ <= 0) return;
  // One still there after kStopTimeout is killed: a test never waits on it without bound.
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + scaledWait(kStopTimeout);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void NginxOrigin::writeFile(const std::string& relativePath, std::string_view contents) const {
  const auto path = root_ / relativePath;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::string NginxOrigin::url(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

std::string NginxOrigin::redirectingUrl(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(redirectingPort_) + std::string(path);
}

std::filesystem::path NginxOrigin::certificateFile() const {
  return certificate_ ? certificate_->certificateFile() : std::filesystem::path();
}

}  // namespace ombrelia::test
