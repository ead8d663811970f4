#include "platform/CurlSocketWatch.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace ombrelia::platform {
namespace {

// Socket events taken from the kernel per wait; more wait for the next turn, which comes at once
// (the set is level-triggered).
constexpr int kMaxSocketEventsPerWait = 256;
// The key of the wake-up descriptor in the set: sockets' keys carry a generation, never 0.
constexpr uint64_t kWakeUpKey = 0;

uint64_t keyOf(curl_socket_t socket, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(socket);
}

// libcurl keeps a pointer per socket: the generation is kept in it as a number, since the
// address of a record could come back for a later socket under the same number.
void* tokenOf(uint32_t generation) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<void*>(static_cast<uintptr_t>(generation));
}

}  // namespace

CurlSocketWatch::CurlSocketWatch() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeUp_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!usable()) return;
  epoll_event wakeUp{};
  wakeUp.events = EPOLLIN;
  wakeUp.data.u64 = kWakeUpKey;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeUp_, &wakeUp);
}

CurlSocketWatch::~CurlSocketWatch() {
  // The engine's own sockets were closed through CurlSockets; only duplicates are left to close.
  for (auto& [socket, record] : sockets_) {
    if (!record.owned) ::close(record.descriptor);
  }
  if (wakeUp_ >= 0) ::close(wakeUp_);
  if (epoll_ >= 0) ::close(epoll_);
}

void CurlSocketWatch::attach(CURLM* multi) {
  multi_ = multi;
  curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlSocketWatch::onSocket);
  curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
}

int CurlSocketWatch::onSocket(CURL*, curl_socket_t socket, int what, void* self, void* token) {
  auto* watch = static_cast<CurlSocketWatch*>(self);
  void* kept = watch->update(socket, what, token);
  if (kept != token && what != CURL_POLL_REMOVE) curl_multi_assign(watch->multi_, socket, kept);
  return 0;
}

uint32_t CurlSocketWatch::nextGeneration() {
  if (++generation_ == 0) ++generation_;  // 0 is the wake-up's key and "no token"
  return generation_;
}

void CurlSocketWatch::opened(curl_socket_t socket) {
  if (auto found = sockets_.find(socket); found != sockets_.end()) {
    // The number was free, so whatever was known under it is closed: a duplicate made of a
    // socket libcurl closed without saying so first goes with it.
    if (!found->second.owned) {
      forget(found);
    } else {
      if (found->second.events != 0) --inSet_;  // the kernel took the closed one out of the set
      sockets_.erase(found);
    }
  }
  Socket record;
  record.generation = nextGeneration();
  record.descriptor = socket;
  record.owned = true;
  sockets_.emplace(socket, record);
}

void CurlSocketWatch::closing(curl_socket_t socket) {
  auto found = sockets_.find(socket);
  if (found == sockets_.end()) return;
  if (!found->second.owned) {
    forget(found);
    return;
  }
  watch(socket, found->second, 0);
  sockets_.erase(found);
}

void* CurlSocketWatch::update(curl_socket_t socket, int what, void* token) {
  auto found = sockets_.find(socket);
  if (what == CURL_POLL_REMOVE) {
    // libcurl may say so after closing the socket: only the socket the token was given for
    // leaves the set, never a later one under the same number.
    if (found == sockets_.end() || token != tokenOf(found->second.generation)) return nullptr;
    if (found->second.owned) {
      watch(socket, found->second, 0);
    } else {
      forget(found);
    }
    return nullptr;
  }
  // libcurl asks to watch only sockets it holds open at that moment.
  Socket* record =
      found != sockets_.end() && found->second.owned ? &found->second : foreign(socket);
  if (record == nullptr) return nullptr;
  const uint32_t events =
      ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
  // A socket registered for nothing would still report errors and hang-ups, and the thread
  // would turn on them while libcurl does not look: it leaves the set instead.
  watch(socket, *record, events);
  return tokenOf(record->generation);
}

CurlSocketWatch::Socket* CurlSocketWatch::foreign(curl_socket_t socket) {
  struct stat status {};
  if (::fstat(socket, &status) != 0) return nullptr;
  auto found = sockets_.find(socket);
  if (found != sockets_.end()) {
    if (found->second.device == status.st_dev && found->second.inode == status.st_ino) {
      return &found->second;
    }
    forget(found);  // closed without libcurl saying so, and its number taken by this one
  }
  const int duplicate = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) return nullptr;
  Socket record;
  record.generation = nextGeneration();
  record.descriptor = duplicate;
  record.device = status.st_dev;
  record.inode = status.st_ino;
  return &sockets_.emplace(socket, record).first->second;
}

void CurlSocketWatch::forget(std::unordered_map<curl_socket_t, Socket>::iterator found) {
  watch(found->first, found->second, 0);
  ::close(found->second.descriptor);
  sockets_.erase(found);
}

void CurlSocketWatch::watch(curl_socket_t socket, Socket& record, uint32_t events) {
  if (events == record.events || !usable()) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = keyOf(socket, record.generation);
  const int operation = record.events == 0 ? EPOLL_CTL_ADD
                        : events == 0      ? EPOLL_CTL_DEL
                                           : EPOLL_CTL_MOD;
  if (::epoll_ctl(epoll_, operation, record.descriptor, &event) != 0) return;
  if (record.events == 0) ++inSet_;
  if (events == 0) --inSet_;
  record.events = events;
}

void CurlSocketWatch::wake() {
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the thread is woken anyway.
  [[maybe_unused]] const auto written = ::write(wakeUp_, &one, sizeof one);
}

void CurlSocketWatch::wait(int timeoutMs, std::vector<Ready>& ready) {
  std::array<epoll_event, kMaxSocketEventsPerWait> events{};
  const int count = ::epoll_wait(epoll_, events.data(), kMaxSocketEventsPerWait, timeoutMs);
  for (int n = 0; n < count; ++n) {
    const uint64_t key = events[n].data.u64;
    if (key == kWakeUpKey) {
      uint64_t woken = 0;
      [[maybe_unused]] const auto taken = ::read(wakeUp_, &woken, sizeof woken);
      continue;
    }
    const uint32_t happened = events[n].events;
    int bits = ((happened & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) |
               ((happened & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0);
    if ((happened & (EPOLLERR | EPOLLHUP)) != 0) {
      // libcurl learns why from its own read or write: an error alone fails the transfer with
      // no reason given.
      const auto found = sockets_.find(static_cast<curl_socket_t>(key & 0xffffffffu));
      const uint32_t registered = found != sockets_.end() ? found->second.events : 0u;
      bits |= CURL_CSELECT_ERR | ((registered & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) |
              ((registered & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0);
    }
    ready.push_back(
        {static_cast<curl_socket_t>(key & 0xffffffffu), static_cast<uint32_t>(key >> 32), bits});
  }
}

bool CurlSocketWatch::current(const Ready& ready) const {
  const auto found = sockets_.find(ready.socket);
  return found != sockets_.end() && found->second.generation == ready.generation &&
         found->second.events != 0;
}

}  // namespace ombrelia::platform
