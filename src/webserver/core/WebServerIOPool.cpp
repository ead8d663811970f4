#include "webserver/core/WebServerIOPool.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "webserver/core/WebServerLog.hpp"

namespace ombrelia {
namespace {

struct Loop {
  // A hint of 1: one thread runs this loop, which lets it skip waking others; posting from any
  // thread stays safe.
  boost::asio::io_context context{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
      context.get_executor()};
  // Creates the loop's reactor (its epoll, event and timer descriptors) now rather than at the
  // first connection, so the pool's descriptors stay the same from its start on.
  boost::asio::steady_timer reactorStarter{context};
};

enum PriorityClass : size_t { kHigh, kDefault, kLow, kBackground, kClassCount };

PriorityClass classOf(int priority) {
  if (priority <= WebServerIOPool::kBackgroundPriority) return kBackground;
  if (priority < 0) return kLow;
  return priority > 0 ? kHigh : kDefault;
}

// Steps from the process's nice value; the background class is absolute.
constexpr std::array<int, kClassCount> kNiceSteps = {-5, 0, 5, 0};
constexpr int kHighestNice = -20;
constexpr int kLowestNice = 19;

int niceOf(PriorityClass priorityClass) {
  if (priorityClass == kBackground) return kLowestNice;
  // The main thread's value stands for the process's (its thread id is the process id).
  errno = 0;
  const int process = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  const int base = errno == 0 ? process : 0;
  return std::clamp(base + kNiceSteps[priorityClass], kHighestNice, kLowestNice);
}

// Each thread sets its own nice value: on Linux it belongs to the thread, not the process.
void applyNice(PriorityClass priorityClass, std::once_flag& warned) {
  if (priorityClass == kDefault) return;
  const int nice = niceOf(priorityClass);
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0) return;
  const int number = errno;
  std::call_once(warned, [&] {
    if (WebServerShouldLog(kWebServerLogWarning)) {
      WebServerLogMessage(kWebServerLogWarning,
                          "Cannot set the server threads' nice value to %i: %s (%i); they run "
                          "at the process's priority",
                          nice, std::strerror(number), number);
    }
  });
}

struct Pool {
  std::vector<std::unique_ptr<Loop>> loops;
  std::atomic<size_t> next{0};
  std::once_flag warned;

  explicit Pool(PriorityClass priorityClass) {
    const size_t threads =
        std::clamp<size_t>(std::thread::hardware_concurrency(), 2, WebServerIOPool::kMaxThreads);
    for (size_t i = 0; i < threads; ++i)
      loops.push_back(std::make_unique<Loop>());
    for (auto &loop : loops) {
      std::thread([context = &loop->context, priorityClass, warned = &warned] {
        applyNice(priorityClass, *warned);
        for (;;) {
          try {
            context->run();
            return;
          } catch (...) {
            // A handler's exception must not take the thread with it; the loop goes on.
          }
        }
      }).detach();
    }
  }
};

Pool& pool(PriorityClass priorityClass) {
  // Never destroyed: detached threads may still run a step while the process exits. Made on
  // first use, so a process that serves at one priority runs one pool.
  static std::array<std::once_flag, kClassCount> made;
  static std::array<Pool*, kClassCount> pools{};
  std::call_once(made[priorityClass], [&] { pools[priorityClass] = new Pool(priorityClass); });
  return *pools[priorityClass];
}

} // namespace

boost::asio::io_context& WebServerIOPool::context(int priority) {
  Pool& p = pool(classOf(priority));
  return p.loops[p.next.fetch_add(1, std::memory_order_relaxed) % p.loops.size()]->context;
}

size_t WebServerIOPool::threadCount() { return pool(kDefault).loops.size(); }

} // namespace ombrelia
