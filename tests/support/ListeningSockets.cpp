#include "support/ListeningSockets.hpp"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace ombrelia::test {
namespace {

// The socket inodes of this process's descriptors.
std::set<std::string> ownSocketInodes() {
  std::set<std::string> inodes;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return inodes;
  while (const dirent* entry = ::readdir(dir)) {
    char target[256] = {};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    const std::string text(target, static_cast<size_t>(length));
    // "socket:[12345]"
    if (text.rfind("socket:[", 0) == 0 && text.back() == ']') {
      inodes.insert(text.substr(8, text.size() - 9));
    }
  }
  ::closedir(dir);
  return inodes;
}

// Inodes of the sockets listening on `port` in one of /proc/net/tcp or tcp6.
std::set<std::string> listenersIn(const std::string& table, uint16_t port) {
  constexpr const char* kListenState = "0A";
  std::set<std::string> inodes;
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos || state != kListenState) continue;
    if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
  }
  return inodes;
}

}  // namespace

bool processListensOn(uint16_t port, bool ipv4, bool ipv6) {
  const std::set<std::string> own = ownSocketInodes();
  for (const auto& [wanted, table] :
       {std::pair{ipv4, "/proc/net/tcp"}, std::pair{ipv6, "/proc/net/tcp6"}}) {
    if (!wanted) continue;
    for (const std::string& inode : listenersIn(table, port)) {
      if (own.count(inode) != 0) return true;
    }
  }
  return false;
}

}  // namespace ombrelia::test
