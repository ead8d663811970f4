#include "support/MdnsDaemons.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/IsolatedNetwork.hpp"

namespace ombrelia::test {

namespace {

using namespace std::chrono_literals;

constexpr const char* kConfigDirectory = "/run/ombrelia-mdns";
// Start-up of each daemon, on a loaded machine and under a sanitizer's slower test process.
constexpr auto kStartBound = 30s;

// A system bus that lets everyone (the test runs as root) own and call anything.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

std::string avahiConfig() {
  std::ostringstream out;
  out << "[server]\nhost-name=" << MdnsDaemons::kHostName << "\nuse-ipv4=yes\nuse-ipv6=no\n"
      << "allow-interfaces=" << IsolatedNetwork::kHostInterface << "\nenable-dbus=yes\n"
      << "[publish]\npublish-workstation=no\npublish-hinfo=no\n";
  return out.str();
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path);
  file << text;
  return static_cast<bool>(file);
}

// avahi-browse's parsable output escapes dots, backslashes and unprintable bytes, the last as
// a backslash and three decimal digits.
std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
    } else if (i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isdigit(static_cast<unsigned char>(text[i + 2])) &&
               std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else {
      out += text[++i];
    }
  }
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ';')) out.push_back(field);
  return out;
}

// "=;interface;protocol;name;type;domain;host;address;port;txt": a resolved service.
std::optional<MdnsDaemons::Found> parseResolved(const std::string& line) {
  const auto f = fields(line);
  if (f.size() < 9 || f[0] != "=") return std::nullopt;
  return MdnsDaemons::Found{unescape(f[3]), unescape(f[4]), unescape(f[6]), f[7],
                            static_cast<uint16_t>(std::atoi(f[8].c_str()))};
}

std::chrono::milliseconds left(std::chrono::steady_clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()));
}

}  // namespace

MdnsDaemons::MdnsDaemons(Start start) {
  ::mkdir(kConfigDirectory, 0755);
  ::mkdir("/run/dbus", 0755);
  ::mkdir("/run/avahi-daemon", 0755);
  const std::string busConfig = std::string(kConfigDirectory) + "/bus.conf";
  const std::string avahiConfigPath = std::string(kConfigDirectory) + "/avahi-daemon.conf";
  if (!writeFile(busConfig, kBusConfig) || !writeFile(avahiConfigPath, avahiConfig())) {
    error_ = "cannot write the daemons' configuration";
    return;
  }
  // The bus prints its address once it listens.
  bus_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--config-file=" + busConfig, "--nofork",
                               "--nopidfile", "--print-address=1"},
      // Its one warning (it may not raise its descriptor limit here) is noise.
      ChildProcess::Settings{.captureStdout = true, .discardStderr = true});
  if (!bus_->started() || !bus_->readLine(kStartBound)) {
    error_ = "dbus-daemon did not start";
    return;
  }
  if (start == Start::busOnly) return;
  // Not daemonised, avahi-daemon logs to standard error; it says when it has claimed its host
  // name and is ready for clients.
  avahi_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"sh", "-c",
                               "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f " +
                                   avahiConfigPath + " 2>&1"},
      ChildProcess::Settings{.captureStdout = true});
  if (!avahi_->started()) {
    error_ = "avahi-daemon did not start";
    return;
  }
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (const auto line = avahi_->readLine(left(deadline))) {
    seen += *line + "\n";
    if (line->find("Server startup complete") != std::string::npos) return;
  }
  error_ = "avahi-daemon did not become ready:\n" + seen;
}

MdnsDaemons::~MdnsDaemons() {
  // The daemon before its bus, as a system stops them.
  avahi_.reset();
  bus_.reset();
}

std::vector<MdnsDaemons::Found> MdnsDaemons::browse(const std::string& type) {
  const auto result = ChildProcess::run({"avahi-browse", "-rptk", type}, 30s);
  std::vector<Found> found;
  std::istringstream lines(result.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (auto resolved = parseResolved(line)) found.push_back(std::move(*resolved));
  }
  return found;
}

MdnsDaemons::Browser::Browser(const std::string& type)
    : process_({"avahi-browse", "-rpk", type}, ChildProcess::Settings{.captureStdout = true}) {}

std::optional<MdnsDaemons::Found> MdnsDaemons::Browser::waitForResolved(
    const std::string& name, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (auto line = process_.readLine(left(deadline))) {
    auto resolved = parseResolved(*line);
    if (resolved && resolved->name == name) return resolved;
  }
  return std::nullopt;
}

bool MdnsDaemons::Browser::waitForRemoved(const std::string& name,
                                          std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (auto line = process_.readLine(left(deadline))) {
    // "-;interface;protocol;name;type;domain"
    const auto f = fields(*line);
    if (f.size() >= 4 && f[0] == "-" && unescape(f[3]) == name) return true;
  }
  return false;
}

}  // namespace ombrelia::test
