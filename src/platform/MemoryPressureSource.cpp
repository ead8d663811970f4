#include "platform/MemoryPressureSource.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.hpp"

namespace ombrelia::platform {
namespace {

// Pressure-stall triggers: "some" tasks stalled on memory for 150 ms within 2 s is a warning;
// every task stalled ("full") for 100 ms within 2 s is critical. 2 s is the smallest window the
// kernel accepts from unprivileged processes.
constexpr const char* kPressurePath = "/proc/pressure/memory";
constexpr const char* kWarningTrigger = "some 150000 2000000";
constexpr const char* kCriticalTrigger = "full 100000 2000000";

int openTrigger(const char* trigger) {
  const int fd = ::open(kPressurePath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  const size_t length = std::char_traits<char>::length(trigger) + 1;  // the kernel wants the NUL
  if (::write(fd, trigger, length) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The cgroup v2 directory of this process, from "0::/path" in /proc/self/cgroup.
std::string cgroupEventsPath() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("0::")) return "/sys/fs/cgroup" + line.substr(3) + "/memory.events";
  }
  return {};
}

// The counters of memory.events: "high" counts throttling above memory.high (a warning), "max"
// and "oom" count hits of the hard limit (critical).
struct CgroupCounters {
  long long high = 0;
  long long max = 0;
  long long oom = 0;
};

CgroupCounters readCounters(int fd) {
  CgroupCounters counters;
  char buffer[1024];
  const ssize_t n = ::pread(fd, buffer, sizeof(buffer) - 1, 0);
  if (n <= 0) return counters;
  std::istringstream in(std::string(buffer, static_cast<size_t>(n)));
  std::string name;
  long long value = 0;
  while (in >> name >> value) {
    if (name == "high") counters.high = value;
    if (name == "max") counters.max = value;
    if (name == "oom") counters.oom = value;
  }
  return counters;
}

}  // namespace

// The process-wide watcher: one thread polling the kernel's notifications and handing each
// event to every active source. It lives until the process ends.
class MemoryPressureMonitor {
 public:
  static MemoryPressureMonitor& shared() {
    static MemoryPressureMonitor* monitor = new MemoryPressureMonitor();
    return *monitor;
  }

  void add(const std::shared_ptr<MemoryPressureSource>& source) {
    std::lock_guard lock(mutex_);
    sources_.push_back(source);
    if (!started_) {
      started_ = true;
      std::thread([this] { run(); }).detach();
    }
  }

  void broadcast(unsigned events) {
    std::vector<std::shared_ptr<MemoryPressureSource>> live;
    {
      std::lock_guard lock(mutex_);
      sources_.erase(std::remove_if(sources_.begin(), sources_.end(),
                                    [](const auto& weak) { return weak.expired(); }),
                     sources_.end());
      for (const auto& weak : sources_) {
        if (auto source = weak.lock()) live.push_back(std::move(source));
      }
    }
    for (const auto& source : live) source->deliver(events);
  }

 private:
  void run() {
    std::vector<pollfd> fds;
    std::vector<unsigned> eventOf;
    const int warningFd = openTrigger(kWarningTrigger);
    const int criticalFd = openTrigger(kCriticalTrigger);
    if (warningFd >= 0) {
      fds.push_back({warningFd, POLLPRI, 0});
      eventOf.push_back(MemoryPressureSource::warning);
    }
    if (criticalFd >= 0) {
      fds.push_back({criticalFd, POLLPRI, 0});
      eventOf.push_back(MemoryPressureSource::critical);
    }

    int cgroupFd = -1;
    CgroupCounters last;
    if (fds.empty()) {
      const std::string path = cgroupEventsPath();
      if (!path.empty()) cgroupFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (cgroupFd < 0) return;  // the host offers no memory notifications: nothing to watch
      last = readCounters(cgroupFd);
      // memory.events signals a change as POLLPRI (a modified-file event).
      fds.push_back({cgroupFd, POLLPRI, 0});
      eventOf.push_back(0);
    }

    while (!fds.empty()) {
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      unsigned events = 0;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents & POLLERR) {
          // The trigger's file went away; stop watching it.
          ::close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
          eventOf.erase(eventOf.begin() + static_cast<std::ptrdiff_t>(i));
          --i;
          continue;
        }
        if (!(fds[i].revents & POLLPRI)) continue;
        if (fds[i].fd == cgroupFd) {
          const CgroupCounters now = readCounters(cgroupFd);
          if (now.high > last.high) events |= MemoryPressureSource::warning;
          if (now.max > last.max || now.oom > last.oom) events |= MemoryPressureSource::critical;
          last = now;
        } else {
          events |= eventOf[i];
        }
      }
      if (events != 0) broadcast(events);
    }
  }

  std::mutex mutex_;
  std::vector<std::weak_ptr<MemoryPressureSource>> sources_;
  bool started_ = false;
};

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::create() {
  return std::shared_ptr<MemoryPressureSource>(new MemoryPressureSource());
}

MemoryPressureSource::~MemoryPressureSource() = default;

void MemoryPressureSource::setEventHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void MemoryPressureSource::activate() {
  {
    std::lock_guard lock(mutex_);
    if (active_ || cancelled_) return;
    active_ = true;
  }
  MemoryPressureMonitor::shared().add(shared_from_this());
}

void MemoryPressureSource::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
}

bool MemoryPressureSource::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void MemoryPressureSource::deliver(unsigned events) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    if (!active_ || cancelled_ || !handler_) return;
    handler = handler_;
  }
  DispatchQueue::global()->async([handler = std::move(handler), events] { handler(events); });
}

void MemoryPressureSource::raiseForTesting(unsigned events) {
  MemoryPressureMonitor::shared().broadcast(events);
}

}  // namespace ombrelia::platform
